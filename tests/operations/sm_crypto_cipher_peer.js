// npm sm-crypto as the peer of our SM2 encryption, both ciphertext orders. Run by node:
// argv: <sm-crypto module dir> <input file>. Input lines:
//   K <private hex> <public hex 04||x||y>
//   E <mode 0|1> <message hex>      -> "E <x1||y1||C2||C3 (mode 0) or x1||y1||C3||C2 (mode 1)>"
//   D <mode 0|1> <ciphertext hex>   -> "D <message hex>", or "D -" when it does not decrypt
'use strict';
const fs = require('fs');
const sm2 = require(process.argv[2]).sm2;

let priv = '';
let pub = '';
const out = [];
for (const line of fs.readFileSync(process.argv[3], 'utf8').split('\n')) {
  const f = line.trim().split(' ');
  if (f[0] === 'K') {
    priv = f[1];
    pub = f[2];
  } else if (f[0] === 'E') {
    out.push('E ' + sm2.doEncrypt(Array.from(Buffer.from(f[2], 'hex')), pub, Number(f[1])));
  } else if (f[0] === 'D') {
    let plain = [];
    try {
      plain = sm2.doDecrypt(f[2], priv, Number(f[1]), {output: 'array'});
    } catch (e) {
      plain = [];
    }
    out.push('D ' + (plain && plain.length ? Buffer.from(plain).toString('hex') : '-'));
  }
}
process.stdout.write(out.join('\n') + '\n');

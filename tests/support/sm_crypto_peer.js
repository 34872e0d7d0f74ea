// Peer side of the SM2 interoperability test, run by node with npm sm-crypto.
// argv: <sm-crypto module dir> <input file>. Input lines:
//   K <private hex> <public hex 04||x||y>
//   V <message hex> <DER signature hex>   -> "V 1" or "V 0"
//   S <message hex>                       -> "S <DER signature hex>"
//   E <message hex>                       -> "E <x1||y1||C2||C3 hex>"   (cipherMode 0)
//   D <message hex> <04||x1||y1||C2||C3>  -> "D <decrypted hex>"
//   C <mode> <message hex>                -> "C <ciphertext hex>" (mode 0: x1||y1||C2||C3,
//                                            mode 1: x1||y1||C3||C2)
//   P <mode> <ciphertext hex>             -> "P <decrypted hex>", or "P -" when it fails
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
  } else if (f[0] === 'V') {
    const ok = sm2.doVerifySignature(Buffer.from(f[1], 'hex'), f[2], pub, {hash: true, der: true});
    out.push('V ' + (ok ? '1' : '0'));
  } else if (f[0] === 'S') {
    out.push('S ' + sm2.doSignature(Buffer.from(f[1], 'hex'), priv, {hash: true, der: true, publicKey: pub}));
  } else if (f[0] === 'E') {
    out.push('E ' + sm2.doEncrypt(Buffer.from(f[1], 'hex'), pub, 0));
  } else if (f[0] === 'D') {
    const plain = sm2.doDecrypt(f[2].substring(2), priv, 0, {output: 'array'});
    out.push('D ' + Buffer.from(plain).toString('hex'));
  } else if (f[0] === 'C') {
    out.push('C ' + sm2.doEncrypt(Array.from(Buffer.from(f[2], 'hex')), pub, Number(f[1])));
  } else if (f[0] === 'P') {
    let plain = [];
    try {
      plain = sm2.doDecrypt(f[2], priv, Number(f[1]), {output: 'array'});
    } catch (e) {
      plain = [];
    }
    out.push('P ' + (plain && plain.length ? Buffer.from(plain).toString('hex') : '-'));
  }
}
process.stdout.write(out.join('\n') + '\n');

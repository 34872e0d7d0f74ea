// Our SM2 against npm sm-crypto: a quick round in every build (the full 1,000-message round
// is SM2SmCryptoFull_test, labelled slow: sm-crypto needs about 24 ms a signature).
#include "SmCryptoPeer.h"

TEST(SM2SmCrypto, SignaturesAndCiphertextsBothWays)
{
    smtest::SmCryptoInterop(100, 10);
}

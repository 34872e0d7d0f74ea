// Our SM2 against npm sm-crypto over 1,000 random messages each way (about a minute).
#include "SmCryptoPeer.h"

TEST(SM2SmCryptoFull, ThousandSignaturesBothWays)
{
    smtest::SmCryptoInterop(1000, 50);
}

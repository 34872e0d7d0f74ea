#ifndef MORV_TESTS_SUPPORT_PKI_FIXTURES_H
#define MORV_TESTS_SUPPORT_PKI_FIXTURES_H

// The fixtures of tests/data/pki (see its README.md): their paths, their passwords, and the
// facts the openssl CLI printed about them into expected.txt, the tests' oracle.
#include <fstream>
#include <map>
#include <string>

namespace support {

inline const char kSM2Password[] = "Fixture-SM2-2020";
inline const char kP12Password[] = "Fixture-P12-2020";

// "rsa/ee_sign.pem" -> the fixture's path.
inline std::string Pki(const std::string& name)
{
    return std::string(MORV_TEST_DATA_DIR) + "/pki/" + name;
}

// expected.txt: "[section]" lines, each followed by its key=value lines; "#" lines are comments.
using PkiSection = std::map<std::string, std::string>;
using PkiFactTable = std::map<std::string, PkiSection>;

inline const PkiFactTable& PkiFacts()
{
    static const PkiFactTable s_facts = [] {
        PkiFactTable facts;
        std::ifstream in(Pki("expected.txt"));
        std::string line, section;
        while (std::getline(in, line)) {
            if (line.empty() || '#' == line[0]) continue;
            if ('[' == line[0]) {
                section = line.substr(1, line.find(']') - 1);
                continue;
            }
            const size_t eq = line.find('=');
            if (!section.empty() && std::string::npos != eq)
                facts[section][line.substr(0, eq)] = line.substr(eq + 1);
        }
        return facts;
    }();
    return s_facts;
}

// One section's facts; empty when there is no such section.
inline const PkiSection& PkiFactsOf(const std::string& section)
{
    static const PkiSection s_empty;
    auto it = PkiFacts().find(section);
    return it == PkiFacts().end() ? s_empty : it->second;
}

// The value of key in section; empty when either is missing.
inline std::string PkiFact(const std::string& section, const std::string& key)
{
    const PkiSection& facts = PkiFactsOf(section);
    auto it = facts.find(key);
    return it == facts.end() ? std::string() : it->second;
}

}  // namespace support

#endif

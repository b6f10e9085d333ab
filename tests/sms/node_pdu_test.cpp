// Cross-check of the SMS text coding against an independent PDU codec (the npm
// node-pdu package, installed into tests/peers by scripts/install-deps): units we
// build are read back by it, and units it builds are read back by us, for every
// coding and for texts of three parts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "sms/hex_support.h"
#include "sms/pdu.h"
#include "sms/sms_text.h"

namespace tolvane {
namespace {

using test::hex;
using test::repeat;
using test::unhex;

// Runs the peer with lines on its standard input; its output lines.
std::vector<std::string> peer(const char* mode, const std::vector<std::string>& lines) {
    std::string dir = TOLVANE_SOURCE_DIR "/tests/peers";
    std::string input = (std::filesystem::temp_directory_path() /
                         ("tv_pdu_peer_" + std::to_string(::getpid()) + ".txt"))
                            .string();
    {
        std::ofstream f(input);
        for (const std::string& l : lines) f << l << "\n";
    }
    std::string cmd = "node " + dir + "/pdu_peer.js " + mode + " < " + input + " 2>&1";
    std::vector<std::string> out;
    if (FILE* p = ::popen(cmd.c_str(), "r")) {
        char buf[65536];
        while (std::fgets(buf, sizeof buf, p) != nullptr) {
            std::string l(buf);
            while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
            out.push_back(l);
        }
        ::pclose(p);
    }
    std::filesystem::remove(input);
    return out;
}

bool peer_installed() {
    return std::filesystem::exists(TOLVANE_SOURCE_DIR "/tests/peers/node_modules/node-pdu");
}

// An SMS-SUBMIT unit for one part, as the modem gets it.
std::string submit_unit(const sms_split& s, const sms_part& p) {
    std::string unit = "00";
    unit += p.udh.empty() ? "01" : "41";
    unit += "00";
    Status st = pdu_encode_addr("+61412345678", unit);
    EXPECT_TRUE(st) << st.reason();
    unit += "00";
    unit += s.alphabet == sms_alphabet::gsm ? "00" : "08";
    if (s.alphabet == sms_alphabet::gsm) {
        std::size_t udl = 0;
        std::string ud = sms_pack_user_data(p, udl);
        pdu_encode_int(unit, static_cast<int>(udl));
        unit += hex(ud);
    } else {
        pdu_encode_int(unit, static_cast<int>(p.udh.size() + p.data.size()));
        unit += hex(p.udh + p.data);
    }
    return unit;
}

const std::vector<std::string>& texts() {
    static const std::vector<std::string> t = {
        "hellohello",
        "@ starts with the at sign, \xC2\xA3 $ \xC2\xA5 \xC3\xA8 \xC3\xA9 \xC3\xB9",
        "\xE2\x82\xAC [ ] ~ ^ { } | \\",
        "Gr\xC3\xBC\xC3\x9F"
        "e \xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xE4\xBD\xA0\xE5\xA5\xBD "
        "\xF0\x9F\x98\x80",
        repeat("Latin ", 67),                            // 402 characters: three GSM parts
        repeat("\xD0\x9F\xD1\x80\xD0\xB8", 67),          // 201 Cyrillic letters: three UCS-2 parts
        repeat("\xE2\x82\xAC", 100) + repeat("x", 150),  // escape pairs across part ends
    };
    return t;
}

TEST(NodePdu, ReadsTheUnitsWeBuild) {
    if (!peer_installed()) GTEST_FAIL() << "node-pdu is missing: run scripts/install-deps";
    std::vector<std::string> units;
    std::vector<std::string> want;
    for (const std::string& text : texts()) {
        sms_split s = sms_text_split(text, sms_coding::automatic, 10, 0x5A);
        for (std::size_t k = 0; k < s.parts.size(); ++k) {
            const sms_part& p = s.parts[k];
            units.push_back(submit_unit(s, p));
            std::string part_text = s.alphabet == sms_alphabet::gsm ? gsm_septets_to_utf8(p.data)
                                                                    : ucs2_to_utf8(p.data);
            std::string head = s.parts.size() == 1 ? "- - -"
                                                   : "90 " + std::to_string(s.parts.size()) + " " +
                                                         std::to_string(k + 1);
            want.push_back(head + " " + hex(part_text));
        }
    }
    std::vector<std::string> got = peer("decode", units);
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t k = 0; k < got.size(); ++k) {
        SCOPED_TRACE(units[k]);
        std::string g = got[k];
        for (char& c : g) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(g, want[k]);
    }
    // Every text is whole again when its parts are put together.
    std::size_t at = 0;
    for (const std::string& text : texts()) {
        sms_split s = sms_text_split(text, sms_coding::automatic, 10, 0x5A);
        std::string joined;
        for (std::size_t k = 0; k < s.parts.size(); ++k, ++at)
            joined += unhex(got[at].substr(got[at].rfind(' ') + 1));
        EXPECT_EQ(joined, text);
    }
}

// Reads the user data of an SMS-SUBMIT unit (no validity period, as node-pdu builds
// them) with our decoder.
sms_decoded read_submit(const std::string& unit) {
    std::string b = unhex(unit);
    std::size_t i = 1 + static_cast<unsigned char>(b[0]);  // service centre
    int fo = static_cast<unsigned char>(b[i++]);
    ++i;  // message reference
    std::size_t digits = static_cast<unsigned char>(b[i++]);
    i += 1 + (digits + 1) / 2;  // type and number
    ++i;                        // protocol identifier
    int dcs = static_cast<unsigned char>(b[i++]);
    int vpf = (fo >> 3) & 3;
    i += vpf == 2 ? 1 : vpf == 0 ? 0 : 7;
    std::size_t udl = static_cast<unsigned char>(b[i++]);
    Result<sms_text_kind> kind = sms_dcs_kind(dcs);
    EXPECT_TRUE(kind.ok()) << kind.reason();
    Result<sms_decoded> d = sms_decode_user_data(kind ? *kind : sms_text_kind::binary,
                                                 (fo & 0x40) != 0, b.substr(i), udl);
    EXPECT_TRUE(d.ok()) << d.reason();
    return d ? std::move(*d) : sms_decoded{};
}

TEST(NodePdu, WeReadTheUnitsItBuilds) {
    if (!peer_installed()) GTEST_FAIL() << "node-pdu is missing: run scripts/install-deps";
    std::vector<std::string> lines;
    for (const std::string& text : texts()) lines.push_back(hex(text));
    std::vector<std::string> got = peer("encode", lines);
    ASSERT_EQ(got.size(), texts().size());
    for (std::size_t k = 0; k < got.size(); ++k) {
        SCOPED_TRACE(texts()[k].substr(0, 20));
        std::istringstream in(got[k]);
        std::map<int, std::string> parts;
        int total = 0;
        for (std::string unit; in >> unit;) {
            sms_decoded d = read_submit(unit);
            if (d.concat.is_part()) {
                total = d.concat.total;
                parts[d.concat.part] = d.text;
            } else {
                parts[1] = d.text;
                total = 1;
            }
        }
        ASSERT_EQ(static_cast<int>(parts.size()), total);
        std::string joined;
        for (const auto& [n, t] : parts) joined += t;
        EXPECT_EQ(joined, texts()[k]);
    }
}

}  // namespace
}  // namespace tolvane

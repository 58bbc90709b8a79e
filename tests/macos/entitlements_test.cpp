// The entitlements the audio program is signed with: exactly the five
// capabilities it needs, each true, in a property list's one dictionary.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

TEST(AudioProgramEntitlements, ExactlyTheFiveCapabilitiesAllTrue) {
    std::stringstream file;
    file << std::ifstream(MIRVO_ENTITLEMENTS).rdbuf();
    const std::string xml = file.str();
    std::smatch body;
    ASSERT_TRUE(std::regex_search(xml, body, std::regex(R"(<plist version="1.0">\s*<dict>([\s\S]*)</dict>\s*</plist>\s*$)")));
    // Every element inside is a key followed by its value.
    std::map<std::string, std::string> entries;
    const std::regex entry(R"(\s*<key>([^<]*)</key>\s*<([a-z]+)/>)");
    std::string rest = body[1];
    for (std::smatch m; std::regex_search(rest, m, entry, std::regex_constants::match_continuous); rest = m.suffix()) {
        EXPECT_TRUE(entries.emplace(m[1], m[2]).second) << "duplicate key " << m[1];
    }
    EXPECT_TRUE(std::regex_match(rest, std::regex(R"(\s*)"))) << "not a key and its value: " << rest;
    const std::map<std::string, std::string> expected = {
        {"com.apple.security.device.audio-input", "true"},
        {"com.apple.security.device.microphone", "true"},
        {"com.apple.security.cs.allow-jit", "true"},
        {"com.apple.security.cs.allow-unsigned-executable-memory", "true"},
        {"com.apple.security.cs.disable-library-validation", "true"},
    };
    EXPECT_EQ(entries, expected);
}

// The entitlements the audio program is signed with: parsed as a property
// list, they must be exactly the five capabilities it needs, each true.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

// One XML token: a tag ("<key>", "</key>", "<true/>") or the text between tags.
struct Token {
    bool tag;
    std::string text;
};

std::string trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

// Tokens of the document, without the XML declaration, DOCTYPE, comments
// and whitespace-only text. Fails the test on an unterminated tag.
std::vector<Token> tokenize(const std::string& xml) {
    std::vector<Token> out;
    std::size_t i = 0;
    while (i < xml.size()) {
        if (xml[i] != '<') {
            const std::size_t next = xml.find('<', i);
            const std::string text = trim(xml.substr(i, next - i));
            if (!text.empty()) out.push_back({false, text});
            i = next == std::string::npos ? xml.size() : next;
            continue;
        }
        const std::size_t end = xml.find('>', i);
        if (end == std::string::npos) {
            ADD_FAILURE() << "unterminated tag at offset " << i;
            break;
        }
        const std::string tag = xml.substr(i, end - i + 1);
        if (tag.rfind("<?", 0) != 0 && tag.rfind("<!", 0) != 0) out.push_back({true, tag});
        i = end + 1;
    }
    return out;
}

struct Plist {
    std::string rootTag;
    std::vector<std::pair<std::string, std::string>> entries;  // key, value element
};

// The top-level dictionary of a plist whose values are single empty
// elements such as <true/> (all an entitlements file holds).
Plist parse(const std::string& xml) {
    Plist p;
    const auto t = tokenize(xml);
    std::size_t i = 0;
    auto expectTag = [&](const std::string& tag) {
        if (i >= t.size() || !t[i].tag || t[i].text != tag) {
            ADD_FAILURE() << "expected " << tag << " at token " << i
                          << (i < t.size() ? ", found " + t[i].text : ", found the end");
            return false;
        }
        ++i;
        return true;
    };
    if (i < t.size()) p.rootTag = t[i].text;
    ++i;
    if (!expectTag("<dict>")) return p;
    while (i < t.size() && t[i].text != "</dict>") {
        if (!expectTag("<key>")) return p;
        if (i >= t.size() || t[i].tag) {
            ADD_FAILURE() << "key without text at token " << i;
            return p;
        }
        const std::string key = t[i++].text;
        if (!expectTag("</key>")) return p;
        if (i >= t.size() || !t[i].tag) {
            ADD_FAILURE() << "key " << key << " has no value element";
            return p;
        }
        p.entries.emplace_back(key, t[i++].text);
    }
    if (!expectTag("</dict>")) return p;
    if (!expectTag("</plist>")) return p;
    EXPECT_EQ(i, t.size()) << "content after </plist>";
    return p;
}

std::string readFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << path;
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(AudioProgramEntitlements, ExactlyTheFiveCapabilitiesAllTrue) {
    const std::string xml = readFile(MIRVO_ENTITLEMENTS);
    ASSERT_FALSE(xml.empty());
    EXPECT_EQ(xml.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u);

    const Plist plist = parse(xml);
    EXPECT_EQ(plist.rootTag, "<plist version=\"1.0\">");

    std::map<std::string, std::string> byKey;
    for (const auto& [key, value] : plist.entries) {
        EXPECT_TRUE(byKey.emplace(key, value).second) << "duplicate key " << key;
    }
    const std::set<std::string> expected = {
        "com.apple.security.device.audio-input",
        "com.apple.security.device.microphone",
        "com.apple.security.cs.allow-jit",
        "com.apple.security.cs.allow-unsigned-executable-memory",
        "com.apple.security.cs.disable-library-validation",
    };
    std::set<std::string> keys;
    for (const auto& [key, value] : byKey) {
        keys.insert(key);
        EXPECT_EQ(value, "<true/>") << key;
    }
    EXPECT_EQ(keys, expected);
    EXPECT_EQ(plist.entries.size(), 5u);
}

TEST(AudioProgramEntitlements, ParserRejectsWhatCodesignWouldNotRead) {
    // The parser above is what the check rests on: a value that is not an
    // element, or a dictionary left open, must not pass as well-formed.
    EXPECT_NONFATAL_FAILURE(parse("<plist version=\"1.0\"><dict><key>a</key>true</dict></plist>"),
                            "has no value element");
    EXPECT_NONFATAL_FAILURE(parse("<plist version=\"1.0\"><dict><key>a</key><true/></plist>"),
                            "expected <key>");
    const Plist ok = parse("<plist version=\"1.0\"><dict><key>a</key><false/></dict></plist>");
    ASSERT_EQ(ok.entries.size(), 1u);
    EXPECT_EQ(ok.entries[0].second, "<false/>");
}

}  // namespace

// The aggregate-device description as the macOS binding hands it to Core
// Audio: hal::coreaudio::plist::convert driven by a stand-in for Core
// Foundation that builds a tree and counts references, fed with setup's own
// description.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app.h"
#include "coreaudio/plist_cf.h"

namespace {

struct Node {
    std::string text;          // a string's text, "true"/"false", "[" or "{"
    std::vector<Node*> items;  // array elements, dictionary values
    std::vector<Node*> keys;   // dictionary keys
    int refs = 1;              // created owned, as the Create calls are
};

// Containers retain what they hold and release it when they go. Creation
// number `failAt` (1-based) returns null.
struct TreeOps {
    using Ref = Node*;
    std::vector<std::unique_ptr<Node>> all;
    int created = 0, failAt = 0, overReleases = 0;

    Node* make(std::string text, const Ref* items = nullptr, std::size_t n = 0, const Ref* keys = nullptr) {
        if (++created == failAt) return nullptr;
        all.push_back(std::make_unique<Node>(Node{std::move(text), {items, items + n}, {}}));
        if (keys) all.back()->keys.assign(keys, keys + n);
        for (Node* c : all.back()->items) ++c->refs;
        for (Node* c : all.back()->keys) ++c->refs;
        return all.back().get();
    }
    Ref string(const std::string& s) { return make("\"" + s + "\""); }
    Ref boolean(bool b) { return make(b ? "true" : "false"); }
    Ref array(const Ref* items, std::size_t n) { return make("[", items, n); }
    Ref dictionary(const Ref* keys, const Ref* values, std::size_t n) { return make("{", values, n, keys); }
    void release(Ref r) {
        if (r->refs <= 0) return void(++overReleases);
        if (--r->refs > 0) return;
        for (Node* c : r->keys) release(c);
        for (Node* c : r->items) release(c);
    }
    int live() const {
        int n = 0;
        for (const auto& p : all) n += p->refs > 0;
        return n;
    }
};

// The tree as text, dictionaries by key (Core Foundation keeps no order).
std::string render(const Node* n) {
    if (n->text == "[") {
        std::string t;
        for (const Node* c : n->items) t += (t.empty() ? "" : ",") + render(c);
        return "[" + t + "]";
    }
    if (n->text != "{") return n->text;
    std::map<std::string, std::string> byKey;
    for (std::size_t i = 0; i < n->keys.size(); ++i) {
        EXPECT_TRUE(byKey.emplace(render(n->keys[i]), render(n->items[i])).second) << "duplicate key";
    }
    std::string t;
    for (const auto& [k, v] : byKey) t += (t.empty() ? "" : ",") + k + "=" + v;
    return "{" + t + "}";
}

hal::PlistDict description() {
    return aggregateDescription("app.mirvo.tap.0F1E2D3C", "BuiltInSpeakerDevice", "9A8B7C6D");
}

TEST(AggregateDescriptionForCoreAudio, TheEightKeysWithPlatformTypes) {
    TreeOps ops;
    Node* root = hal::coreaudio::plist::convert(ops, description());
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(render(root),
              "{\"master\"=\"BuiltInSpeakerDevice\",\"name\"=\"MirvoAggregate\",\"private\"=true,"
              "\"stacked\"=false,\"subdevices\"=[{\"uid\"=\"BuiltInSpeakerDevice\"}],"
              "\"tapautostart\"=true,\"taps\"=[{\"drift\"=true,\"uid\"=\"9A8B7C6D\"}],"
              "\"uid\"=\"app.mirvo.tap.0F1E2D3C\"}");
    ops.release(root);
}

// The caller owns the root alone; any failed creation gives null. Either
// way nothing leaks and nothing is released twice.
TEST(AggregateDescriptionForCoreAudio, OwnershipWithAnyCreationFailing) {
    TreeOps counting;
    counting.release(hal::coreaudio::plist::convert(counting, description()));
    EXPECT_EQ(counting.live(), 0);
    EXPECT_EQ(counting.overReleases, 0);
    for (int failAt = 1; failAt <= counting.created; ++failAt) {
        TreeOps ops;
        ops.failAt = failAt;
        EXPECT_EQ(hal::coreaudio::plist::convert(ops, description()), nullptr) << failAt;
        EXPECT_EQ(ops.live(), 0) << "leak after creation " << failAt << " failed";
        EXPECT_EQ(ops.overReleases, 0) << failAt;
    }
}

}  // namespace

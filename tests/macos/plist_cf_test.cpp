// The aggregate-device description as the macOS binding hands it to Core
// Audio: hal::coreaudio::plist::convert driven by a stand-in for Core Foundation that
// builds a tree and counts references, fed with setup's own description.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app.h"
#include "coreaudio/plist_cf.h"

namespace {

struct Node {
    enum Kind { String, Boolean, Array, Dictionary } kind = String;
    std::string text;
    bool flag = false;
    std::vector<Node*> items;  // Array: elements; Dictionary: values
    std::vector<Node*> keys;   // Dictionary only
    int refs = 1;              // created owned, as Core Foundation's Create calls
};

// Stands in for Core Foundation: containers retain what they hold and
// release it when they go. Creation number `failAt` (1-based) returns null.
struct TreeOps {
    using Ref = Node*;

    std::vector<std::unique_ptr<Node>> all;
    int created = 0;
    int failAt = 0;
    int overReleases = 0;

    Node* make(Node::Kind kind) {
        if (++created == failAt) return nullptr;
        all.push_back(std::make_unique<Node>());
        all.back()->kind = kind;
        return all.back().get();
    }
    static void retain(Node* n) { ++n->refs; }

    Ref string(const std::string& s) {
        Node* n = make(Node::String);
        if (n) n->text = s;
        return n;
    }
    Ref boolean(bool b) {
        Node* n = make(Node::Boolean);
        if (n) n->flag = b;
        return n;
    }
    Ref array(const Ref* items, std::size_t count) {
        Node* n = make(Node::Array);
        if (!n) return nullptr;
        n->items.assign(items, items + count);
        for (Node* i : n->items) retain(i);
        return n;
    }
    Ref dictionary(const Ref* keys, const Ref* values, std::size_t count) {
        Node* n = make(Node::Dictionary);
        if (!n) return nullptr;
        n->keys.assign(keys, keys + count);
        n->items.assign(values, values + count);
        for (Node* k : n->keys) retain(k);
        for (Node* v : n->items) retain(v);
        return n;
    }
    void release(Ref r) {
        if (r->refs <= 0) {
            ++overReleases;
            return;
        }
        if (--r->refs > 0) return;
        for (Node* k : r->keys) release(k);
        for (Node* v : r->items) release(v);
    }
    int live() const {
        int n = 0;
        for (const auto& p : all) n += p->refs > 0;
        return n;
    }
};

// A dictionary node as key text -> value node; fails the test on a key
// that is not a string or appears twice.
std::map<std::string, const Node*> entries(const Node* dict) {
    std::map<std::string, const Node*> out;
    EXPECT_EQ(dict->kind, Node::Dictionary);
    EXPECT_EQ(dict->keys.size(), dict->items.size());
    for (std::size_t i = 0; i < dict->keys.size() && i < dict->items.size(); ++i) {
        EXPECT_EQ(dict->keys[i]->kind, Node::String);
        EXPECT_TRUE(out.emplace(dict->keys[i]->text, dict->items[i]).second)
            << "duplicate key " << dict->keys[i]->text;
    }
    return out;
}

void expectString(const Node* n, const std::string& text) {
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->kind, Node::String);
    EXPECT_EQ(n->text, text);
}

void expectBoolean(const Node* n, bool value) {
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->kind, Node::Boolean);
    EXPECT_EQ(n->flag, value);
}

const std::string kAggregateUID = "app.mirvo.tap.0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";
const std::string kOutputUID = "BuiltInSpeakerDevice";
const std::string kTapUID = "9A8B7C6D-5E4F-4031-9283-746556473829";

TEST(AggregateDescriptionForCoreAudio, HasTheEightKeysWithPlatformTypes) {
    TreeOps ops;
    Node* root = hal::coreaudio::plist::convert(ops, aggregateDescription(kAggregateUID, kOutputUID, kTapUID));
    ASSERT_NE(root, nullptr);

    const auto top = entries(root);
    ASSERT_EQ(top.size(), 8u);
    expectString(top.at("name"), "MirvoAggregate");
    expectString(top.at("uid"), kAggregateUID);
    expectString(top.at("master"), kOutputUID);
    expectBoolean(top.at("private"), true);
    expectBoolean(top.at("stacked"), false);
    expectBoolean(top.at("tapautostart"), true);

    const Node* subdevices = top.at("subdevices");
    ASSERT_EQ(subdevices->kind, Node::Array);
    ASSERT_EQ(subdevices->items.size(), 1u);
    const auto sub = entries(subdevices->items[0]);
    ASSERT_EQ(sub.size(), 1u);
    expectString(sub.at("uid"), kOutputUID);

    const Node* taps = top.at("taps");
    ASSERT_EQ(taps->kind, Node::Array);
    ASSERT_EQ(taps->items.size(), 1u);
    const auto tap = entries(taps->items[0]);
    ASSERT_EQ(tap.size(), 2u);
    expectString(tap.at("uid"), kTapUID);
    expectBoolean(tap.at("drift"), true);

    ops.release(root);
}

TEST(AggregateDescriptionForCoreAudio, CallerOwnsOnlyTheRoot) {
    TreeOps ops;
    Node* root = hal::coreaudio::plist::convert(ops, aggregateDescription(kAggregateUID, kOutputUID, kTapUID));
    ASSERT_NE(root, nullptr);
    // Every other object is held once, by its container alone.
    for (const auto& n : ops.all) EXPECT_EQ(n->refs, 1) << n->text;
    ops.release(root);
    EXPECT_EQ(ops.live(), 0);
    EXPECT_EQ(ops.overReleases, 0);
}

TEST(AggregateDescriptionForCoreAudio, AnyFailedCreationYieldsNullAndLeaksNothing) {
    TreeOps counting;
    Node* root = hal::coreaudio::plist::convert(counting, aggregateDescription(kAggregateUID, kOutputUID, kTapUID));
    ASSERT_NE(root, nullptr);
    const int creations = counting.created;
    ASSERT_GT(creations, 20);  // 8 keys, 8 values, 2 arrays, 2 nested dicts with keys and values

    for (int failAt = 1; failAt <= creations; ++failAt) {
        TreeOps ops;
        ops.failAt = failAt;
        EXPECT_EQ(hal::coreaudio::plist::convert(ops, aggregateDescription(kAggregateUID, kOutputUID, kTapUID)),
                  nullptr)
            << "creation " << failAt << " failed";
        EXPECT_EQ(ops.live(), 0) << "leak after creation " << failAt << " failed";
        EXPECT_EQ(ops.overReleases, 0) << "creation " << failAt << " failed";
    }
}

TEST(AggregateDescriptionForCoreAudio, EmptyContainersConvert) {
    TreeOps ops;
    const hal::PlistDict empty{{"list", hal::PlistValue{hal::PlistArray{}}},
                               {"dict", hal::PlistValue{hal::PlistDict{}}}};
    Node* root = hal::coreaudio::plist::convert(ops, empty);
    ASSERT_NE(root, nullptr);
    const auto top = entries(root);
    ASSERT_EQ(top.size(), 2u);
    EXPECT_EQ(top.at("list")->kind, Node::Array);
    EXPECT_TRUE(top.at("list")->items.empty());
    EXPECT_EQ(top.at("dict")->kind, Node::Dictionary);
    EXPECT_TRUE(top.at("dict")->keys.empty());
    ops.release(root);
    EXPECT_EQ(ops.live(), 0);
}

}  // namespace

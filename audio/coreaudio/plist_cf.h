// Converts a neutral property list (hal::PlistDict) into the platform's
// property-list objects. The platform calls are a policy, so the same
// conversion runs with Core Foundation in the macOS binding and with a
// recording stand-in in the tests.
//
// Ops must provide:
//   using Ref = ...;                                   // null on failure
//   Ref string(const std::string& s);                  // new, owned (+1)
//   Ref boolean(bool b);                               // owned (+1)
//   Ref array(const Ref* items, std::size_t n);        // new, owned; retains items
//   Ref dictionary(const Ref* keys, const Ref* values, std::size_t n);  // likewise
//   void release(Ref r);
//
// convert() returns an owned reference to the root, or null when any
// creation failed; either way every intermediate object has been released.
#pragma once

#include <cstddef>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "hal.h"

namespace hal::coreaudio::plist {

namespace detail {

// References created for one container, released once the container holds
// them (or has failed to come into being).
template <class Ops>
class Owned {
public:
    explicit Owned(Ops& ops) : ops_(ops) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() {
        for (auto r : refs_) {
            if (r) ops_.release(r);
        }
    }
    // Keeps r; false when r is null.
    bool add(typename Ops::Ref r) {
        refs_.push_back(r);
        return r != nullptr;
    }
    const typename Ops::Ref* data() const { return refs_.data(); }

private:
    Ops& ops_;
    std::vector<typename Ops::Ref> refs_;
};

}  // namespace detail

template <class Ops>
typename Ops::Ref convert(Ops& ops, const hal::PlistDict& dict);
template <class Ops>
typename Ops::Ref convert(Ops& ops, const hal::PlistArray& array);
template <class Ops>
typename Ops::Ref convert(Ops& ops, const hal::PlistValue& value);

template <class Ops>
typename Ops::Ref convert(Ops& ops, const hal::PlistArray& array) {
    detail::Owned<Ops> items(ops);
    for (const auto& item : array) {
        if (!items.add(convert(ops, item))) return nullptr;
    }
    return ops.array(items.data(), array.size());
}

template <class Ops>
typename Ops::Ref convert(Ops& ops, const hal::PlistValue& value) {
    return std::visit(
        [&ops](const auto& v) -> typename Ops::Ref {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, bool>) {
                return ops.boolean(v);
            } else if constexpr (std::is_same_v<T, std::string>) {
                return ops.string(v);
            } else {
                return convert(ops, v);
            }
        },
        value.v);
}

template <class Ops>
typename Ops::Ref convert(Ops& ops, const hal::PlistDict& dict) {
    // Keys and values are kept apart; both lists are released on return.
    detail::Owned<Ops> keys(ops);
    detail::Owned<Ops> values(ops);
    for (const auto& [key, value] : dict) {
        if (!keys.add(ops.string(key))) return nullptr;
        if (!values.add(convert(ops, value))) return nullptr;
    }
    return ops.dictionary(keys.data(), values.data(), dict.size());
}

}  // namespace hal::coreaudio::plist

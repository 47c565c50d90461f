// The names that the policy files let uids register: each grant is one
// exact name or every name that starts with a prefix. A value, with no
// file and no notion of who else is privileged.
#pragma once

#include <quellix/String16.h>

#include <cstddef>
#include <map>
#include <set>
#include <sys/types.h>

class Grants {
public:
    // Lets `uid` register `name` itself; a grant already held adds nothing.
    void allowName(uid_t uid, const String16& name);
    // Lets `uid` register every name that starts with `prefix`.
    void allowPrefix(uid_t uid, const String16& prefix);

    bool allows(uid_t uid, const String16& name) const;
    // How many different grants there are.
    size_t size() const;

private:
    struct OfUid {
        std::set<String16> names;
        std::set<String16> prefixes;
    };
    std::map<uid_t, OfUid> byUid_;
};

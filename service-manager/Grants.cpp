#include "Grants.h"

void Grants::allowName(uid_t uid, const String16& name) { byUid_[uid].names.insert(name); }

void Grants::allowPrefix(uid_t uid, const String16& prefix) { byUid_[uid].prefixes.insert(prefix); }

bool Grants::allows(uid_t uid, const String16& name) const
{
    auto found = byUid_.find(uid);
    if (found == byUid_.end())
        return false;
    if (found->second.names.count(name))
        return true;
    for (const String16& prefix : found->second.prefixes)
        if (name.view().starts_with(prefix.view()))
            return true;
    return false;
}

size_t Grants::size() const
{
    size_t count = 0;
    for (const auto& [uid, grants] : byUid_)
        count += grants.names.size() + grants.prefixes.size();
    return count;
}

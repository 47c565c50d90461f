#include "Registry.h"

#include "ManagerProtocol.h"

#include <quellix/Names.h>
#include <quellix/Parcel.h>

#include <algorithm>

bool Registry::admit(uid_t uid)
{
    if (privileged(uid))
        return true;
    size_t& count = connectionsOf_[uid];
    if (count >= policy_.maxConnectionsPerUid)
        return false;
    ++count;
    return true;
}

size_t Registry::leave(uint64_t id, uid_t uid)
{
    auto perUid = connectionsOf_.find(uid);
    if (perUid != connectionsOf_.end() && --perUid->second == 0)
        connectionsOf_.erase(perUid);
    auto names = namesOf_.find(id);
    if (names == namesOf_.end())
        return 0;
    for (Services::iterator name : names->second)
        services_.erase(name);
    size_t count = names->second.size();
    namesOf_.erase(names);
    auto ofUid = namesOfUid_.find(uid);
    if (ofUid != namesOfUid_.end() && (ofUid->second -= count) == 0)
        namesOfUid_.erase(ofUid);
    return count;
}

status_t Registry::add(uint64_t host, uid_t uid, const String16& name, uint32_t handle)
{
    if (!mayRegister(uid, name))
        return kStatusPermissionDenied;
    if (!isValidServiceName(name))
        return kStatusBadValue;
    auto names = namesOf_.find(host);
    size_t held = names == namesOf_.end() ? 0 : names->second.size();
    auto ofUid = namesOfUid_.find(uid);
    size_t heldByUid = ofUid == namesOfUid_.end() ? 0 : ofUid->second;
    if (!privileged(uid) && (held >= policy_.maxNamesPerConnection || heldByUid >= policy_.maxNamesPerUid))
        return kStatusNoResources;
    auto [entry, added] = services_.try_emplace(name, Entry{host, handle});
    if (!added)
        return kStatusNameTaken;
    namesOf_[host].push_back(entry);
    ++namesOfUid_[uid];
    return kStatusOk;
}

bool Registry::mayRegister(uid_t uid, const String16& name) const
{
    const auto& allowed = policy_.allowRegister;
    return privileged(uid) || std::find(allowed.begin(), allowed.end(), uid) != allowed.end() ||
           grants_.allows(uid, name);
}

const Registry::Entry* Registry::find(const String16& name) const
{
    auto found = services_.find(name);
    return found == services_.end() ? nullptr : &found->second;
}

std::vector<uint8_t> Registry::page(const String16* after, bool* more) const
{
    const auto first = after ? services_.upper_bound(*after) : services_.begin();
    // The count goes first: find where the page ends, then write it.
    auto last = first;
    int32_t count = 0;
    for (size_t bytes = 0; last != services_.end(); ++last, ++count) {
        size_t size = 8 + 2 * last->first.size(); // at least what the name takes
        if (count > 0 && bytes + size > kMaxListPage)
            break;
        bytes += size;
    }
    Parcel page;
    page.writeInt32(count);
    for (auto it = first; it != last; ++it)
        page.writeString16(it->first);
    *more = last != services_.end();
    return page.releaseData();
}

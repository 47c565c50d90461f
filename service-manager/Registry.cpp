#include "Registry.h"

#include "ManagerProtocol.h"

#include <quellix/Names.h>
#include <quellix/Parcel.h>


size_t Registry::leave(uint64_t id)
{
    auto names = namesOf_.find(id);
    if (names == namesOf_.end())
        return 0;
    for (Services::iterator name : names->second)
        services_.erase(name);
    size_t count = names->second.size();
    namesOf_.erase(names);
    return count;
}

status_t Registry::add(uint64_t host, uid_t uid, const String16& name, uint32_t handle, bool room)
{
    if (!mayRegister_(uid, name))
        return kStatusPermissionDenied;
    if (!isValidServiceName(name))
        return kStatusBadValue;
    if (!room)
        return kStatusNoResources;
    auto [entry, added] = services_.try_emplace(name, Entry{host, handle});
    if (!added)
        return kStatusNameTaken;
    namesOf_[host].push_back(entry);
    return kStatusOk;
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

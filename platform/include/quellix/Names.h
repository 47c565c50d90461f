// Where the service manager is found, and which names it registers.
#pragma once

#include <quellix/String16.h>

#include <cstddef>

// The abstract socket name, without its leading NUL byte. Abstract sockets
// belong to a network namespace: each namespace has a service manager of
// its own, or none.
inline constexpr char kServiceManagerSocket[] = "quellix.service-manager";

// The longest name, in UTF-16 units, that the service manager registers.
inline constexpr size_t kMaxServiceNameUnits = 1024;

// Whether the service manager registers `name`: 1 to kMaxServiceNameUnits
// UTF-16 units, each of any value (0 and lone surrogates included).
inline bool isValidServiceName(const String16& name)
{
    return !name.isEmpty() && name.size() <= kMaxServiceNameUnits;
}

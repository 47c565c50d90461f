// The line a program shows when the service manager answers with
// kStatusProtocolMismatch: the library only returns that status and the
// manager's version (ServiceManager::managerProtocolVersion(),
// ServiceHost::managerProtocolVersion()); it never prints.
#pragma once

#include <quellix/String8.h>

#include <cstdint>

// "quellix platform: the service manager speaks protocol version N, this
// program M", N being `managerVersion` and M the version this library
// speaks; no newline.
String8 describeProtocolMismatch(uint32_t managerVersion);

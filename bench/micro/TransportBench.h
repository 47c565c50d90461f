// The transport benchmarks run against a real service-manager and
// service-host, started once for the whole binary.
#pragma once

#include <string>

bool startTransport(std::string* error);
void stopTransport();

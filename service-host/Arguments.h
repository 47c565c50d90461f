// The service host's command line:
//   service-host [--service NAME [--interface TEXT] [--query-status N]
//                [--status N] [--allow-uid UID]...] ...
// NAME and TEXT are UTF-8 with two escapes: "\\" for a backslash and
// "\uHHHH" for one UTF-16 unit of any value.
#pragma once

#include <quellix/Status.h>
#include <quellix/String16.h>

#include <string>
#include <vector>

struct ServiceSpec {
    String16 name;
    String16 interfaceName{u"test.IEcho", 10};
    status_t queryStatus = kStatusOk;
    status_t status = kStatusOk;
    // Only these uids get past the interface-name query; empty: everyone.
    std::vector<uid_t> allowedUids;
};

// Decodes TEXT with its escapes; false (and a reason) for any other
// backslash sequence.
bool unescape(const char* text, String16* out, std::string* error);

// Parses the arguments after the program name. An empty list of specs with
// no error means: run the sample services.
bool parseArguments(int argc, char** argv, std::vector<ServiceSpec>* specs, std::string* error);

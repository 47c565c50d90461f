// The messages between the service manager and its peers. Internal to the
// platform library. Each decoder returns 0, or -1 with errno EBADMSG when
// the payload is not what it must be; none copies it.
//
// Requests (frame word = operation, target = kManagerProtocolVersion, the
// version of this protocol the sender speaks; another version is answered
// with kStatusProtocolMismatch, and the manager's version as the target):
//   kManagerLookup    payload: the name as a String16; arg: 0, or
//                     kLookupFresh when the client holds no working
//                     connection to the host it was last told of
//   kManagerList      payload: the last name of the previous page as a
//                     String16, or the absent string for the first page;
//                     arg 0
//   kManagerRegister  payload: the name as a String16; arg: the host's handle
//                     for the service, which clients send with every
//                     transaction
// From the service manager (frame word = message):
//   kManagerReply     arg: the status. A successful look-up's target is the
//                     service's handle and its payload the host's number
//                     (see encodeHostId); the first look-up that reaches a
//                     host, and a fresh one, carry the client's end of a
//                     new connection to it. A list reply's payload is an
//                     int32 count and that many String16 names, the next
//                     ones in order; its target is 1 when more follow.
//   kManagerAttach    to a host, with the host's end of a new connection:
//                     the payload says who the client is (encodeAttach)
#pragma once

#include "Frame.h"

#include <quellix/Credentials.h>
#include <quellix/String16.h>
#include <quellix/Vector.h>

#include <cstddef>
#include <cstdint>
#include <vector>

enum : int32_t { kManagerLookup = 1, kManagerList = 2, kManagerRegister = 3 };
enum : int32_t { kManagerReply = 1, kManagerAttach = 2 };
enum : uint32_t { kLookupFresh = 1 };

// Raised whenever a request or reply changes meaning.
inline constexpr uint32_t kManagerProtocolVersion = 1;

// A name of kMaxServiceNameUnits units fits with room to spare.
inline constexpr size_t kMaxManagerRequest = 4096;
// One page of a listing holds names up to this many bytes (and at least
// one name, whatever its length).
inline constexpr size_t kMaxListPage = 256 * 1024;
inline constexpr size_t kMaxManagerReply = kMaxListPage + kMaxManagerRequest;

struct ManagerRequest {
    int32_t operation = 0;
    uint32_t arg = 0;
    // The name looked up or registered, or where a listing goes on.
    String16 name;
    // False for the absent string, which only a list request may send.
    bool hasName = false;
};

// Fails for an unknown operation or a payload that is not exactly what the
// operation takes; with errno EPROTONOSUPPORT for another version.
int decodeManagerRequest(Frame& frame, ManagerRequest* request);

// A String16, or the absent string when `present` is false.
std::vector<uint8_t> encodeName(const String16& name, bool present = true);

// Hosts are numbered by the service manager, never twice in its lifetime.
std::vector<uint8_t> encodeHostId(uint64_t id);
int decodeHostId(const std::vector<uint8_t>& payload, uint64_t* id);

// Who a client is: the service manager's number for its connection, and
// its credentials.
std::vector<uint8_t> encodeAttach(uint64_t clientId, const Credentials& client);
int decodeAttach(const std::vector<uint8_t>& payload, uint64_t* clientId, Credentials* client);

// Who holds a name: the payload of a registration refused with
// kStatusNameTaken.
std::vector<uint8_t> encodeHolder(const Credentials& holder);
int decodeHolder(const std::vector<uint8_t>& payload, Credentials* holder);

// Appends a list reply's names to `names` (fails for a count that does not
// match the names that follow).
int decodeNameList(std::vector<uint8_t> payload, Vector<String16>* names);

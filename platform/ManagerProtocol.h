// The messages between the service manager and its peers. Internal to the
// platform library.
//
// Requests (frame word = operation):
//   kManagerLookup    payload: the name as a String16; arg 0
//   kManagerList      payload empty; arg 0
//   kManagerRegister  payload: the name as a String16; arg: the host's handle
//                     for the service, echoed in every kManagerAttach
// From the service manager (frame word = message):
//   kManagerReply     arg: the status; a successful look-up carries the
//                     client's end of a new connection; a list reply's
//                     payload is an int32 count and that many String16 names
//   kManagerAttach    to a host: arg is the handle of the service a client
//                     has looked up, the frame carries the host's end of the
//                     new connection
#pragma once

#include "FrameReader.h"
#include "Status.h"
#include "String16.h"
#include "Vector.h"

#include <cstddef>
#include <cstdint>

enum : int32_t { kManagerLookup = 1, kManagerList = 2, kManagerRegister = 3 };
enum : int32_t { kManagerReply = 1, kManagerAttach = 2 };

// A name of kMaxServiceNameUnits units fits with room to spare.
inline constexpr size_t kMaxManagerRequest = 4096;
inline constexpr size_t kMaxManagerReply = size_t{256} << 20;

struct ManagerRequest {
    int32_t operation = 0;
    uint32_t handle = 0;
    String16 name;
};

// kStatusBadParcel for an unknown operation or a payload that is not
// exactly what the operation takes.
status_t decodeManagerRequest(const Frame& frame, ManagerRequest* request);

// The payload of a look-up or registration.
std::vector<uint8_t> encodeName(const String16& name);

// Decodes a list reply's payload (kStatusBadParcel for a count that does
// not match the names that follow).
status_t decodeNameList(const std::vector<uint8_t>& payload, Vector<String16>* names);

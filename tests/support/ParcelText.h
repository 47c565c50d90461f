// What quellix prints for the reply of an echo service: the line
// "Result: " and the reply parcel's text form, built here with the
// platform's own Parcel from the arguments the test sent.
#pragma once

#include <quellix/Parcel.h>

#include <string>

// The text form of `parcel` (Parcel::print), without a newline.
std::string printed(const Parcel& parcel);
// The stdout of a successful `quellix call` to an echo service: the echo of
// `data`.
std::string echoedCall(const Parcel& data);
// The stdout of `quellix call s 1 i32 7` to an echo service of the default
// interface name, test.IEcho.
std::string echoedSeven();

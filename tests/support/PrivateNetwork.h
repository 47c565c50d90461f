// Entering a network namespace of our own, so that the service manager a
// test or benchmark starts is private to it and never meets another one
// (abstract Unix sockets belong to the network namespace).
#pragma once

// As root a network namespace alone; otherwise inside a user namespace
// that maps us to root. False when neither is allowed.
bool enterPrivateNetwork();

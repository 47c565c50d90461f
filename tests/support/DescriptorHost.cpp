// descriptor-host: a host for the security tests that sends descriptors
// to its clients. On each new client link, at once, it sends the answer
// to the interface-name query with nine descriptors attached (the ninth a
// lingering socket; loopback must be up), then answers every request
// (interface "test.IHostile", anything else an empty reply). Says
// "ready" once NAME is registered, and on standard error, for each link,
// whether it took the descriptors.
//
//   descriptor-host NAME
#include "Address.h"
#include "Connection.h"
#include "Hostile.h"
#include "ManagerProtocol.h"

#include <quellix/IBinder.h>
#include <quellix/Parcel.h>

#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <poll.h>
#include <vector>

namespace {

// A frame of the host protocol: the reply to `handle` with `parcel`.
std::string replyBytes(uint32_t handle, const Parcel& parcel)
{
    uint8_t header[kFrameHeaderSize];
    encodeFrameHeader(header, uint32_t(parcel.dataSize()), kStatusOk, 0, handle);
    std::string bytes(reinterpret_cast<const char*>(header), sizeof header);
    return bytes + std::string(reinterpret_cast<const char*>(parcel.data()), parcel.dataSize());
}

Parcel interfaceName()
{
    Parcel parcel;
    parcel.writeString16(String16("test.IHostile"));
    return parcel;
}

// Answers one request; false when the link is gone.
bool answer(Connection& client)
{
    Frame request;
    if (client.receive(&request) < 0)
        return false;
    const Parcel reply = request.word == int32_t(kInterfaceNameQuery) ? interfaceName() : Parcel();
    return client.send(kStatusOk, 0, request.target, reply.data(), reply.dataSize()) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: descriptor-host NAME\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    Connection manager(connectServiceManager(), kMaxManagerReply);
    const std::vector<uint8_t> name = encodeName(String16(argv[1]));
    Frame reply;
    if (manager.call(kManagerRegister, 0, kManagerProtocolVersion, name.data(), name.size(), &reply) < 0 ||
        reply.word != kManagerReply || reply.arg != 0) {
        std::fprintf(stderr, "descriptor-host: cannot register '%s'\n", argv[1]);
        return 1;
    }
    NineDescriptors nine;
    if (!nine.ok()) {
        std::fprintf(stderr, "descriptor-host: cannot make the descriptors to send\n");
        return 1;
    }
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
    const std::string unasked = replyBytes(0, interfaceName());
    std::map<int, std::unique_ptr<Connection>> clients;
    for (;;) {
        std::vector<pollfd> watched{{manager.fd(), POLLIN, 0}};
        for (auto& [fd, client] : clients)
            watched.push_back({fd, POLLIN, 0});
        if (poll(watched.data(), watched.size(), -1) < 0)
            return 1;
        for (size_t i = 1; i < watched.size(); ++i)
            if (watched[i].revents && !answer(*clients[watched[i].fd]))
                clients.erase(watched[i].fd);
        if (!watched[0].revents)
            continue;
        Frame attach;
        if (manager.receive(&attach) < 0)
            return 0;
        const int link = attach.takeFd();
        if (attach.word != kManagerAttach || link < 0)
            continue;
        const bool took = nine.sendWith(link, unasked);
        std::fprintf(stderr, "descriptor-host: a client link %s nine descriptors\n", took ? "took" : "refused");
        clients[link] = std::make_unique<Connection>(link, kMaxParcelSize);
    }
}

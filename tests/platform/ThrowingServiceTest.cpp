// A service whose onTransact throws: that one transaction fails with
// kStatusServiceFailed and an empty reply, the host logs it and serves on.
#include "TestPlatform.h"

#include <quellix/ServiceHost.h>
#include <quellix/ServiceManager.h>

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <stdexcept>
#include <unistd.h>

namespace {

// Code 1 looks a key up that is not there (std::map::at throws); code 2
// throws something that is no std::exception; any other code answers.
class Lookup : public LocalService {
public:
    Lookup() : LocalService(String16("test.ILookup")) {}

protected:
    status_t onTransact(uint32_t code, const Parcel&, Parcel* reply, uint32_t) override
    {
        if (code == 1)
            reply->writeInt32(values_.at(7));
        if (code == 2)
            throw 42;
        reply->writeInt32(5);
        return kStatusOk;
    }

private:
    std::map<int, int32_t> values_;
};

TEST(ThrowingServiceTest, FailsThatTransactionAndServesOn)
{
    TestPlatform platform;
    ASSERT_TRUE(platform.startManager());
    int log[2];
    ASSERT_EQ(pipe(log), 0);
    ForkedChild child;
    ASSERT_TRUE(child.start(geteuid(), [&log](int channel) {
        dup2(log[1], 2);
        sigset_t stop = ServiceHost::stopSignals();
        sigprocmask(SIG_BLOCK, &stop, nullptr);
        std::unique_ptr<ServiceHost> host = ServiceHost::connect();
        if (!host || host->addService(String16("lookup"), make<Lookup>()) != kStatusOk)
            return 1;
        (void)!write(channel, "x", 1);
        return host->serve() == kStatusOk ? 0 : 1;
    }));
    close(log[1]);
    sp<IBinder> service = defaultServiceManager()->lookupService(String16("lookup"));
    ASSERT_NE(service, nullptr);
    for (uint32_t code : {1u, 2u, 1u, 3u}) {
        SCOPED_TRACE(code);
        Parcel data, reply;
        EXPECT_EQ(service->sendTransaction(code, data, &reply, 0), code == 3 ? kStatusOk : kStatusServiceFailed);
        EXPECT_EQ(reply.dataSize(), code == 3 ? 4u : 0u);
    }
    kill(child.pid(), SIGTERM);
    EXPECT_EQ(child.wait(), 0);
    char text[4096];
    ssize_t length = read(log[0], text, sizeof text);
    const std::string logged(text, size_t(std::max<ssize_t>(length, 0)));
    EXPECT_NE(logged.find("service test.ILookup threw map::at for code 1 from pid "), std::string::npos) << logged;
    EXPECT_NE(logged.find("service test.ILookup threw an exception of unknown type for code 2"), std::string::npos)
        << logged;
}

} // namespace

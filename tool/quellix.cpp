// quellix: lists the services registered with the service manager, checks
// whether one is registered, and calls one with typed arguments.
#include <quellix/IBinder.h>
#include <quellix/Parcel.h>
#include <quellix/ProtocolVersion.h>
#include <quellix/ServiceManager.h>
#include <quellix/String16.h>
#include <quellix/String8.h>
#include <quellix/TextOutput.h>
#include <quellix/Vector.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

static const char kUsage[] =
    "Usage: quellix [-h|-?]\n"
    "       quellix list\n"
    "       quellix check SERVICE\n"
    "       quellix call SERVICE CODE [i32 INT | s16 STR] ...\n"
    "Options:\n"
    "   i32: Write the integer INT into the send parcel.\n"
    "   s16: Write the UTF-16 string STR into the send parcel.\n";

// The interface name the service reports; empty for a null reference or a
// query that fails.
static String16 queryInterfaceName(sp<IBinder> binder)
{
    if (binder == nullptr)
        return String16();
    Parcel data;
    Parcel reply;
    status_t status = binder->sendTransaction(kInterfaceNameQuery, data, &reply, 0);
    if (status == kStatusOk)
        return reply.readString16();
    return String16();
}

// The display form of a name: units 0x01 to 0x7F as that byte, a 0 unit as
// nothing, everything above as UTF-8 (a surrogate pair as its code point, a
// lone surrogate as U+FFFD), so that a printed name can be typed back in.
static String8 displayed(const String16& text)
{
    return String8(text, String8::ZeroUnits::kDrop);
}

// An absent string travels as the 32-bit value -1; an empty one is present.
static void writeOptionalString16(Parcel& parcel, const char* text)
{
    if (text == nullptr)
        parcel.writeInt32(-1);
    else
        parcel.writeString16(String16(text));
}

// A standard descriptor left closed by the caller would be taken by the
// first socket the platform opens, and aout would then write into the
// service manager's connection. Each closed one is held by /dev/null,
// opened the other way round, so that using it still fails as a closed
// descriptor does (EBADF). False, with errno set, when that fails.
static bool holdClosedStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0)
            continue;
        if (errno != EBADF)
            return false;
        // The lower descriptors are open, so this one is the lowest free.
        int held = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
        if (held < 0)
            return false;
        if (held != fd) {
            close(held);
            errno = EBADF;
            return false;
        }
    }
    return true;
}

// Output that did not reach standard output fails the run, whatever the
// command did: a script must not take lost output for success.
static int checkOutput(int exitStatus)
{
    aout.flush();
    if (aout.error() == 0)
        return exitStatus;
    aerr << "quellix: write error: " << strerror(aout.error()) << endl;
    return 10;
}

// What the platform's status does not say by itself: the protocol version
// of a service manager that speaks another one.
static void explainFailure(const ServiceManager& serviceManager, status_t status)
{
    if (status == kStatusProtocolMismatch)
        aerr << describeProtocolMismatch(serviceManager.managerProtocolVersion()).c_str() << endl;
}

// Looks `name` up into *service. A look-up that fails is said on standard
// error and its status returned; one that finds no such name did not fail
// (kStatusOk, and a null *service).
static status_t lookUp(ServiceManager& serviceManager, const char* name, sp<IBinder>* service)
{
    status_t status;
    *service = serviceManager.lookupService(String16(name), &status);
    if (status == kStatusOk || status == kStatusNameNotFound)
        return kStatusOk;
    explainFailure(serviceManager, status);
    aerr << "quellix: Lookup of " << name << " failed with status " << int(status) << endl;
    return status;
}

// quellix list: every name with the interface name its service reports.
// A listing that fails is reported, never shown as an empty one; a name
// that cannot be looked up shows an empty interface name.
static int list(ServiceManager& serviceManager)
{
    Vector<String16> names;
    if (status_t status = serviceManager.listServiceNames(&names); status != kStatusOk) {
        explainFailure(serviceManager, status);
        aerr << "quellix: Listing failed with status " << int(status) << endl;
        return 10;
    }
    aout << "Found " << unsigned(names.size()) << " services:" << endl;
    for (unsigned i = 0; i < names.size(); ++i) {
        String16 name = names[i];
        sp<IBinder> service = serviceManager.lookupService(name);
        aout << i << "\t" << displayed(name).c_str() << ": [";
        aout << displayed(queryInterfaceName(service)).c_str() << "]" << endl;
    }
    return 0;
}

// quellix check SERVICE
static int check(ServiceManager& serviceManager, int argc, char** argv, bool* showUsage)
{
    if (optind >= argc) {
        aerr << "quellix: No service specified for check" << endl;
        *showUsage = true;
        return 10;
    }
    const char* name = argv[optind];
    sp<IBinder> service;
    if (lookUp(serviceManager, name, &service) != kStatusOk)
        return 10;
    aout << "Service " << name << (service == nullptr ? ": not found" : ": found") << endl;
    return 0;
}

// The fields of an intent record, from the KEY=VALUE arguments at
// argv[optind] on. Every such argument belongs to the intent; one without
// a KEY ends it, and is refused as an argument of its own.
static void writeIntent(Parcel& data, int argc, char** argv)
{
    const char* action = nullptr;
    const char* dataUri = nullptr;
    const char* type = nullptr;
    const char* component = nullptr;
    int32_t launchFlags = 0;
    for (; optind < argc; ++optind) {
        char* rest = nullptr;
        char* key = strtok_r(argv[optind], "=", &rest);
        if (key == nullptr)
            break;
        char* value = strtok_r(nullptr, "=", &rest);
        if (strcmp(key, "action") == 0)
            action = value;
        else if (strcmp(key, "data") == 0)
            dataUri = value;
        else if (strcmp(key, "type") == 0)
            type = value;
        else if (strcmp(key, "launchFlags") == 0)
            launchFlags = value == nullptr ? 0 : atoi(value);
        else if (strcmp(key, "component") == 0)
            component = value;
        // "categories" and unknown keys carry nothing.
    }
    writeOptionalString16(data, action);
    writeOptionalString16(data, dataUri);
    writeOptionalString16(data, type);
    data.writeInt32(launchFlags);
    writeOptionalString16(data, component);
    data.writeInt32(0);
    data.writeInt32(-1);
}

// The typed arguments from argv[optind] on, in order; false (with the
// message printed) at the first one that is wrong.
static bool writeArguments(Parcel& data, int argc, char** argv)
{
    while (optind < argc) {
        const char* argument = argv[optind++];
        if (strcmp(argument, "i32") == 0) {
            if (optind >= argc) {
                aerr << "quellix: no integer supplied for 'i32'" << endl;
                return false;
            }
            data.writeInt32(atoi(argv[optind++]));
        } else if (strcmp(argument, "s16") == 0) {
            if (optind >= argc) {
                aerr << "quellix: no string supplied for 's16'" << endl;
                return false;
            }
            data.writeString16(String16(argv[optind++]));
        } else if (strcmp(argument, "null") == 0) {
            data.writeStrongBinder(nullptr);
        } else if (strcmp(argument, "intent") == 0) {
            writeIntent(data, argc, argv);
        } else {
            aerr << "quellix: unknown option " << argument << endl;
            return false;
        }
    }
    return true;
}

// quellix call SERVICE CODE [ARGUMENT]...: the transaction goes out even
// when an argument is wrong, with the arguments before it.
static int call(ServiceManager& serviceManager, int argc, char** argv, bool* showUsage)
{
    if (argc - optind < 2) {
        if (optind >= argc)
            aerr << "quellix: No service specified for call" << endl;
        else
            aerr << "quellix: No code specified for call" << endl;
        *showUsage = true;
        return 10;
    }
    const char* name = argv[optind++];
    sp<IBinder> service;
    if (lookUp(serviceManager, name, &service) != kStatusOk)
        return 10;
    String16 interfaceName = queryInterfaceName(service);
    int32_t code = atoi(argv[optind++]);
    if (service == nullptr || interfaceName.size() == 0) {
        aerr << "quellix: Service " << name << " does not exist" << endl;
        return 10;
    }
    Parcel data;
    data.writeInterfaceToken(interfaceName);
    int exitStatus = 0;
    if (!writeArguments(data, argc, argv)) {
        *showUsage = true;
        exitStatus = 10;
    }
    Parcel reply;
    status_t status = service->sendTransaction(uint32_t(code), data, &reply, 0);
    aout << "Result: ";
    reply.print(aout, 0);
    aout << endl;
    if (status != kStatusOk) {
        aerr << "quellix: Transaction failed with status " << int(status) << endl;
        exitStatus = 10;
    }
    return exitStatus;
}

int main(int argc, char** argv)
{
    if (!holdClosedStandardDescriptors()) {
        aerr << "quellix: /dev/null: " << strerror(errno) << endl;
        return 10;
    }
    sp<ServiceManager> serviceManager = defaultServiceManager();
    fflush(stdout);
    if (serviceManager == nullptr) {
        aerr << "quellix: Unable to get default service manager!" << endl;
        return 20;
    }

    int exitStatus = 0;
    bool showUsage = false;
    // "+": stop at the first operand and never reorder argv, whatever the
    // environment says, so that "i32 -7" keeps its operand.
    while (getopt(argc, argv, "+h?") >= 0)
        showUsage = true;
    if (optind >= argc)
        showUsage = true; // no command word

    if (!showUsage) {
        const char* command = argv[optind++];
        if (strcmp(command, "check") == 0) {
            exitStatus = check(*serviceManager, argc, argv, &showUsage);
        } else if (strcmp(command, "list") == 0) {
            exitStatus = list(*serviceManager);
        } else if (strcmp(command, "call") == 0) {
            exitStatus = call(*serviceManager, argc, argv, &showUsage);
        } else {
            aerr << "quellix: Unknown command " << command << endl;
            exitStatus = 10;
            showUsage = true;
        }
    }

    if (showUsage)
        aout << kUsage;
    serviceManager.clear();
    return checkOutput(exitStatus);
}

// quellix: lists the services registered with the service manager, checks
// whether one is registered, and calls one with typed arguments.
#include <quellix/IBinder.h>
#include <quellix/Parcel.h>
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
static String8 toAsciiString8(const String16& text)
{
    String8 result;
    char buffer[2] = {0, 0};
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t unit = text[i];
        if (unit <= 0x7F) {
            buffer[0] = char(unit);
            result.append(buffer);
            continue;
        }
        char32_t codePoint = unit;
        bool high = unit >= 0xD800 && unit <= 0xDBFF;
        if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            codePoint = 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            codePoint = 0xFFFD;
        }
        result.appendCodePoint(codePoint);
    }
    return result;
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
        const char* command = argv[optind];
        if (strcmp(command, "check") == 0) {
            ++optind;
            if (optind >= argc) {
                aerr << "quellix: No service specified for check" << endl;
                exitStatus = 10;
                showUsage = true;
            } else {
                const char* name = argv[optind];
                sp<IBinder> service = serviceManager->lookupService(String16(name));
                aout << "Service " << name << (service == nullptr ? ": not found" : ": found") << endl;
            }
        } else if (strcmp(command, "list") == 0) {
            Vector<String16> names = serviceManager->listServiceNames();
            aout << "Found " << unsigned(names.size()) << " services:" << endl;
            for (unsigned i = 0; i < names.size(); ++i) {
                String16 name = names[i];
                sp<IBinder> service = serviceManager->lookupService(name);
                aout << i << "\t" << toAsciiString8(name).c_str() << ": [";
                aout << toAsciiString8(queryInterfaceName(service)).c_str() << "]" << endl;
            }
        } else if (strcmp(command, "call") == 0) {
            ++optind;
            if (argc - optind < 2) {
                if (optind >= argc)
                    aerr << "quellix: No service specified for call" << endl;
                else
                    aerr << "quellix: No code specified for call" << endl;
                exitStatus = 10;
                showUsage = true;
            } else {
                const char* name = argv[optind++];
                sp<IBinder> service = serviceManager->lookupService(String16(name));
                String16 interfaceName = queryInterfaceName(service);
                int32_t code = atoi(argv[optind++]);
                if (service == nullptr || interfaceName.size() == 0) {
                    aerr << "quellix: Service " << name << " does not exist" << endl;
                    exitStatus = 10;
                } else {
                    Parcel data;
                    Parcel reply;
                    data.writeInterfaceToken(interfaceName);
                    while (optind < argc) {
                        const char* argument = argv[optind];
                        if (strcmp(argument, "i32") == 0) {
                            if (++optind >= argc) {
                                aerr << "quellix: no integer supplied for 'i32'" << endl;
                                showUsage = true;
                                exitStatus = 10;
                                break;
                            }
                            data.writeInt32(atoi(argv[optind++]));
                        } else if (strcmp(argument, "s16") == 0) {
                            if (++optind >= argc) {
                                aerr << "quellix: no string supplied for 's16'" << endl;
                                showUsage = true;
                                exitStatus = 10;
                                break;
                            }
                            data.writeString16(String16(argv[optind++]));
                        } else if (strcmp(argument, "null") == 0) {
                            ++optind;
                            data.writeStrongBinder(nullptr);
                        } else if (strcmp(argument, "intent") == 0) {
                            ++optind;
                            const char* action = nullptr;
                            const char* dataUri = nullptr;
                            const char* type = nullptr;
                            const char* component = nullptr;
                            int32_t launchFlags = 0;
                            // Every KEY=VALUE argument belongs to the intent;
                            // one without a KEY ends it and is refused below.
                            while (optind < argc) {
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
                                ++optind;
                            }
                            writeOptionalString16(data, action);
                            writeOptionalString16(data, dataUri);
                            writeOptionalString16(data, type);
                            data.writeInt32(launchFlags);
                            writeOptionalString16(data, component);
                            data.writeInt32(0);
                            data.writeInt32(-1);
                        } else {
                            aerr << "quellix: unknown option " << argument << endl;
                            showUsage = true;
                            exitStatus = 10;
                            break;
                        }
                    }
                    status_t status = service->sendTransaction(uint32_t(code), data, &reply, 0);
                    aout << "Result: ";
                    reply.print(aout, 0);
                    aout << endl;
                    if (status != kStatusOk) {
                        aerr << "quellix: Transaction failed with status " << int(status) << endl;
                        exitStatus = 10;
                    }
                }
            }
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

#include <quellix/LocalService.h>

status_t LocalService::transact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags,
                                const Credentials& caller)
{
    if (code == kInterfaceNameQuery) {
        reply->writeString16(interfaceName_);
        return interfaceQueryStatus();
    }
    caller_ = caller;
    return onTransact(code, data, reply, flags);
}

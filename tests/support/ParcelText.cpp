#include "ParcelText.h"

#include <quellix/TextOutput.h>

std::string printed(const Parcel& parcel)
{
    StringOutput out;
    parcel.print(out, 0);
    return out.text();
}

std::string echoedCall(const Parcel& data) { return "Result: " + printed(data) + "\n"; }

std::string echoedSeven()
{
    Parcel data;
    data.writeInterfaceToken(String16("test.IEcho"));
    data.writeInt32(7);
    return echoedCall(data);
}

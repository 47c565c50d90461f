#include "ParcelText.h"
#include "TextOutput.h"

namespace {

class StringOutput final : public TextOutput {
public:
    void print(const char* bytes, size_t length) override { text.append(bytes, length); }
    void flush() override {}
    std::string text;
};

} // namespace

std::string printed(const Parcel& parcel)
{
    StringOutput out;
    parcel.print(out, 0);
    return out.text;
}

std::string echoedCall(const Parcel& data) { return "Result: " + printed(data) + "\n"; }

// Parcels: writing and reading the arguments of a typical call, and the
// text form of large ones.
#include <quellix/IBinder.h>
#include <quellix/Parcel.h>
#include <quellix/TextOutput.h>

#include <benchmark/benchmark.h>

#include <vector>

namespace {

// Counts what is printed and drops it.
class NullOutput final : public TextOutput {
public:
    void print(const char*, size_t length) override { bytes += length; }
    void flush() override {}
    size_t bytes = 0;
};

const String16 kToken("quellix.demo.IEcho");
const String16 kShort("hello");
const String16 kLong("a somewhat longer string argument");

void writeTypical(Parcel* parcel)
{
    parcel->writeInterfaceToken(kToken);
    parcel->writeInt32(7);
    parcel->writeString16(kShort);
    parcel->writeInt32(-1);
    parcel->writeString16(kLong);
    parcel->writeStrongBinder(nullptr);
}

void BM_ParcelWriteTypical(benchmark::State& state)
{
    for (auto _ : state) {
        Parcel parcel;
        writeTypical(&parcel);
        benchmark::DoNotOptimize(parcel.data());
    }
}
BENCHMARK(BM_ParcelWriteTypical);

// As a service reads a received call: take the bytes, then every value.
void BM_ParcelReadTypical(benchmark::State& state)
{
    Parcel written;
    writeTypical(&written);
    std::vector<uint8_t> bytes(written.data(), written.data() + written.dataSize());
    for (auto _ : state) {
        Parcel parcel;
        parcel.setData(bytes.data(), bytes.size());
        String16 token, shortText, longText;
        int32_t a, b, kind, handle;
        parcel.readString16(&token);
        parcel.readInt32(&a);
        parcel.readString16(&shortText);
        parcel.readInt32(&b);
        parcel.readString16(&longText);
        if (parcel.readStrongBinderKind(&kind, &handle) != kStatusOk) {
            state.SkipWithError("reading failed");
            break;
        }
        benchmark::DoNotOptimize(longText.data());
    }
}
BENCHMARK(BM_ParcelReadTypical);

void BM_ParcelPrint(benchmark::State& state)
{
    std::vector<uint8_t> bytes(size_t(state.range(0)));
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = uint8_t(i * 7);
    Parcel parcel;
    parcel.setData(bytes.data(), bytes.size());
    NullOutput out;
    for (auto _ : state)
        parcel.print(out);
    benchmark::DoNotOptimize(out.bytes);
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_ParcelPrint)->Arg(1 << 10)->Arg(1 << 20);

} // namespace

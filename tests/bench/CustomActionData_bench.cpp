// Encoding and decoding package lists as CustomActionData text, against a
// plain copy of the same number of bytes. Compare EncodeDecode/N with
// PlainCopy/N (same text size) and EncodeDecode/10000 with EncodeDecode/1000.
// Run alone on a quiet machine: dd_bench --benchmark_repetitions=5

#include <benchmark/benchmark.h>

#include <string>

#include "driver/CustomActionData.h"

namespace {

using setup::driver::DriverPackage;
using setup::driver::DriverPackageList;

DriverPackageList MakePackages(int count) {
    DriverPackageList packages;
    packages.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const std::wstring n = std::to_wstring(i);
        DriverPackage package;
        package.id = L"DriverPackage_" + n;
        package.component = L"cmp_driver_" + n;
        package.infPath = L"C:\\Program Files\\Vendor\\Drivers\\drv" + n + L"\\drv" + n + L".inf";
        package.catPath = L"C:\\Program Files\\Vendor\\Drivers\\drv" + n + L"\\drv" + n + L".cat";
        package.dependencies = L"FltMgr[~]Tcpip";
        package.condition = L"VersionNT64 >= 603 AND NOT REMOVE";
        package.hardwareId = L"root\\vendor_drv" + n;
        package.previousVersionGuids = {L"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}", L"{1A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}"};
        package.attributes = 0x0421;
        package.type = 1;
        package.operation = 1;
        package.sequence = static_cast<uint32_t>(i % 7 == 0 ? 65535 : i);
        for (int r = 0; r < 10; ++r) {
            setup::DriverRegistryEntry entry;
            entry.id = L"Reg_" + n + L"_" + std::to_wstring(r);
            entry.root = 2;
            entry.key = L"SYSTEM\\CurrentControlSet\\Services\\drv" + n + L"\\Parameters";
            entry.name = L"Value" + std::to_wstring(r);
            entry.value = r % 2 == 0 ? L"#42" : L"[~]First|Item[~]Second;Item";
            entry.driverPackage = package.id;
            entry.condition = L"Installed OR (A > B)";
            entry.action = 1;
            package.registryEntries.push_back(entry);
        }
        packages.push_back(std::move(package));
    }
    return packages;
}

void EncodeDecode(benchmark::State& state) {
    const DriverPackageList packages = MakePackages(static_cast<int>(state.range(0)));
    std::size_t chars = 0;
    for (auto _ : state) {
        const std::wstring text = setup::driver::EncodeDriverPackages(packages);
        DriverPackageList decoded = setup::driver::DecodeDriverPackages(text);
        benchmark::DoNotOptimize(decoded.data());
        chars = text.size();
    }
    state.counters["text_chars"] = static_cast<double>(chars);
    state.counters["text_bytes"] = static_cast<double>(chars * sizeof(wchar_t));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * chars * sizeof(wchar_t)));
}

void PlainCopy(benchmark::State& state) {
    const std::wstring text = setup::driver::EncodeDriverPackages(MakePackages(static_cast<int>(state.range(0))));
    for (auto _ : state) {
        std::wstring copy = text;
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.counters["text_bytes"] = static_cast<double>(text.size() * sizeof(wchar_t));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size() * sizeof(wchar_t)));
}

void EncodeOnly(benchmark::State& state) {
    const DriverPackageList packages = MakePackages(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        const std::wstring text = setup::driver::EncodeDriverPackages(packages);
        benchmark::DoNotOptimize(text.data());
    }
}

void DecodeOnly(benchmark::State& state) {
    const std::wstring text = setup::driver::EncodeDriverPackages(MakePackages(static_cast<int>(state.range(0))));
    for (auto _ : state) {
        DriverPackageList decoded = setup::driver::DecodeDriverPackages(text);
        benchmark::DoNotOptimize(decoded.data());
    }
}

// For scale: a copy of the records themselves allocates the same strings a
// decode has to build.
void RecordCopy(benchmark::State& state) {
    const DriverPackageList packages = MakePackages(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        DriverPackageList copy = packages;
        benchmark::DoNotOptimize(copy.data());
    }
}

}  // namespace

BENCHMARK(RecordCopy)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(EncodeOnly)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(DecodeOnly)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(EncodeDecode)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(PlainCopy)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

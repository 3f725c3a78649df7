// Epson() against libzint's ZBarcode_Encode for the same data and symbology.
// libzint only encodes (into its module matrix); Epson() also renders the
// printer row, so the comparison is generous to libzint.

#include <benchmark/benchmark.h>
#include <zint.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "barcode/rv_barcode.h"

namespace {

constexpr const char* kShopOrder = "012345";                 // six-digit Interleaved 2 of 5
constexpr const char* kOperation = "0010";                   // four-digit Code 39
constexpr const char* kTwentyCharacters = "SO012345-000-0010/ST";  // Code 128, sets B and C

void epson(benchmark::State& state, std::int16_t symbology, const char* code) {
    RvBarCode barcode;
    barcode.setSymbology(symbology);
    barcode.setCode(code);
    for (auto _ : state)
        benchmark::DoNotOptimize(barcode.Epson());
    state.SetItemsProcessed(state.iterations());
}

void zintEncode(benchmark::State& state, int symbology, const char* code) {
    zint_symbol* symbol = ZBarcode_Create();
    symbol->symbology = symbology;
    const auto* data = reinterpret_cast<const unsigned char*>(code);
    const int length = static_cast<int>(std::strlen(code));
    for (auto _ : state) {
        ZBarcode_Clear(symbol);
        if (ZBarcode_Encode(symbol, data, length) >= ZINT_ERROR) {
            state.SkipWithError(symbol->errtxt);
            break;
        }
        benchmark::DoNotOptimize(symbol->encoded_data);
    }
    ZBarcode_Delete(symbol);
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK_CAPTURE(epson, i2of5_shop_order, RvBarCode::kInterleaved2of5, kShopOrder);
BENCHMARK_CAPTURE(zintEncode, i2of5_shop_order, BARCODE_C25INTER, kShopOrder);
BENCHMARK_CAPTURE(epson, code39_operation, RvBarCode::kCode39, kOperation);
BENCHMARK_CAPTURE(zintEncode, code39_operation, BARCODE_CODE39, kOperation);
BENCHMARK_CAPTURE(epson, code128_20_characters, RvBarCode::kCode128, kTwentyCharacters);
BENCHMARK_CAPTURE(zintEncode, code128_20_characters, BARCODE_CODE128, kTwentyCharacters);

}  // namespace

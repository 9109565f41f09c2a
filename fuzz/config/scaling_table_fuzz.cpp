// FreeScale.dat in any shape: loading, creating and saving rows never fails badly, and a row
// that was created can be saved and read back.

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "kvx/config/scaling_table.h"
#include "kvx/config/tabular_file.h"
#include "scratch_file.h"

using namespace kvx::config;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto file = kvx::fuzzing::WriteScratch("FreeScale.dat", data, size);
    {
        TabularFile numbers;
        if (numbers.Read(file, TabularFile::RF_READ_AS_DOUBLE)) {
            std::vector<double> cells;
            for (std::size_t i = 0; i < numbers.ColumnCount(); ++i) {
                (void)numbers.GetNumbers(numbers.Header(i), cells);
            }
        }
    }
    ScaleRecord r;
    r.member = 7;
    r.key = "Tanks.Level";
    if (LoadOrCreateScaleRecord(file, r)) {
        if (r.unit.size() > 10 || r.name.size() > 31) std::abort();
        r.name = "saved";
        if (!SaveScaleRecord(file, r)) std::abort();  // the row exists now
        ScaleRecord back;
        back.member = 7;
        back.key = "Tanks.Level";
        if (!LoadOrCreateScaleRecord(file, back)) std::abort();
    }
    return 0;
}

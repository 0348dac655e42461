// bench-addressbook: the address book's OK with many rows.
//
//     bench-addressbook [rows] [runs]        (defaults: 10000 rows, 5 runs)
//
// Fills the book, offscreen, from an object list of N objects in shuffled ID order (names, phones and
// keys filled in), then presses its OK, which checks every ID and phone number, drops nothing and sorts
// the rows by ID; as many times as runs, each from a freshly filled book. Prints the median and the
// largest time of the OK beside its goal (under 300 ms at 65 536 rows): the main thread serves no socket
// meanwhile. A benchmark, not a test: build it without sanitizers.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "core/DataFolder.h"
#include "core/ObjectRegistry.h"
#include "core/Settings.h"
#include "dialogs/AddressBook.h"
#include "platform/Application.h"
#include "platform/Cp1251.h"
#include "tools/bench-common/BenchSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void MakeObjects(int count) {
    std::vector<int> ids(static_cast<std::size_t>(count));
    std::iota(ids.begin(), ids.end(), 0);
    std::shuffle(ids.begin(), ids.end(), std::mt19937(7));
    for (const int id : ids) {
        auto o = std::make_unique<TObjectStates>();
        o->ObjectNumber = o->ModemID = id;
        o->Name = ToCp1251(QStringLiteral("Объект №%1, насосная станция").arg(id));
        o->Phone = "+7916" + std::to_string(1000000 + id);
        o->Password = MakePassword("Key" + std::to_string(100000000000 + id));
        ObjectList.push_back(std::move(o));
    }
}

// The rows in ascending ID order, every ID there once.
bool Sorted(const TAddrBook& book, int count) {
    if (book.ABGrid->RowCount() != count + 1)
        return false;
    for (int row = 1; row <= count; ++row)
        if (book.ABGrid->Cell(0, row) != QString::number(row - 1))
            return false;
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    if (count < 1 || count > 65536 || runs < 1) {
        std::fprintf(stderr, "usage: bench-addressbook [rows 1-65536] [runs]\n");
        return 2;
    }
    const TBenchFolder home("bench-addressbook");
    if (home.Path().empty())
        return 1;
    CompanyDataFolder = home.Path() + "/";
    AppDataFolder = CompanyDataFolder;
    if (!std::getenv("QT_QPA_PLATFORM"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    TApplication app(argc, argv);
    TPrintedDialogs boxes("bench-addressbook");
    SetDialogService(&boxes);
    TSettings settings;
    AppSettings = &settings;
    MakeObjects(count);
    AccessGranted = true;
    TAddrBook book;
    std::printf("bench-addressbook: %d rows, %d runs\n", count, runs);

    std::vector<double> ok;
    for (int run = 0; run < runs; ++run) {
        book.FillFromObjects();
        const Clock::time_point start = Clock::now();
        book.OkButtonClick();
        ok.push_back(Ms(Clock::now() - start));
        if (book.ModalResult() != mrOk || !Sorted(book, count)) {
            std::fprintf(stderr, "bench-addressbook: the book did not close sorted\n");
            return 1;
        }
        book.SetModalResult(mrNone);
        book.ClearGrid();
    }
    std::sort(ok.begin(), ok.end());
    std::printf("  OK: median %.1f ms, largest %.1f ms (goal: under 300 ms at 65536 rows)\n",
                ok[ok.size() / 2], ok.back());
    ObjectList.clear();
    AppSettings = nullptr;
    return 0;
}

// The indexes of an owned list answer as the walk in list order does, whatever happened to the list:
// records added at the end or in between, removed from anywhere, renumbered through the list, replaced
// or taken out in place, the whole list replaced, and keys that several records share.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/OwnedList.h"

namespace {

// A record with one number and any number of tags, like a group's members.
struct TRecord {
    std::int32_t number = 0;
    std::vector<std::int32_t> tags;
};

struct TRecordKeys {
    enum { Number, Tag, Count };
    template <class Add> static void Of(const TRecord& r, Add&& add) {
        add(Number, r.number);
        for (const std::int32_t t : r.tags)
            add(Tag, t);
    }
};

using TList = TOwnedList<TRecord, TRecordKeys>;

constexpr std::int32_t Keys = 6; // few keys, so that records share them often

std::size_t Walk(const TList& list, int which, std::int32_t key) {
    for (std::size_t i = 0; i < list.size(); ++i) {
        const TRecord* r = list[i].get();
        if (!r)
            continue;
        if (which == TRecordKeys::Number ? r->number == key
                                         : std::find(r->tags.begin(), r->tags.end(), key) != r->tags.end())
            return i;
    }
    return TList::npos;
}

// Every key of every index, as the walk finds it.
void ExpectAsTheWalk(const TList& list, const std::string& step) {
    for (const int which : {int(TRecordKeys::Number), int(TRecordKeys::Tag)})
        for (std::int32_t key = -1; key <= Keys; ++key) {
            const std::size_t walked = Walk(list, which, key);
            ASSERT_EQ(list.Find(which, key), walked) << step << ", index " << which << ", key " << key;
            EXPECT_EQ(list.First(which, key), walked == TList::npos ? nullptr : list[walked].get());
        }
}

class TRandomRecords {
public:
    std::unique_ptr<TRecord> Make() {
        auto r = std::make_unique<TRecord>();
        Renumber(*r);
        return r;
    }
    void Renumber(TRecord& r) {
        r.number = Key();
        r.tags.clear();
        for (int n = Below(3); n > 0; --n)
            r.tags.push_back(Key()); // the same tag twice now and then
    }
    std::int32_t Key() { return std::int32_t(Below(Keys + 1)) - 1; }
    int Below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }

private:
    std::mt19937 random_{2501};
};

TEST(OwnedList, LookUpsAnswerAsTheWalkAfterEveryKindOfChange) {
    TList list;
    TRandomRecords records;
    const char* const steps[] = {"push_back",
                                 "emplace_back and renumber through it",
                                 "insert in between",
                                 "erase one",
                                 "erase the last",
                                 "erase a range",
                                 "renumber through an element",
                                 "renumber front and back",
                                 "replace in place",
                                 "take out in place",
                                 "replace the whole list",
                                 "clear"};
    for (int round = 0; round < 3000; ++round) {
        const int step = list.empty() ? records.Below(3) : records.Below(round % 200 == 199 ? 12 : 10);
        const auto at = [&] { return std::size_t(records.Below(int(list.size()))); };
        switch (step) {
        case 0:
            list.push_back(records.Make());
            break;
        case 1:
            records.Renumber(*list.emplace_back(records.Make()));
            break;
        case 2:
            list.insert(list.begin() + std::ptrdiff_t(list.empty() ? 0 : at()), records.Make());
            break;
        case 3:
            list.erase(list.begin() + std::ptrdiff_t(at()));
            break;
        case 4:
            list.erase(list.end() - 1);
            break;
        case 5: {
            const std::size_t first = at();
            list.erase(list.begin() + std::ptrdiff_t(first),
                       list.begin() +
                           std::ptrdiff_t(first + std::size_t(records.Below(int(list.size() - first)))));
            break;
        }
        case 6:
            if (TRecord* r = list[at()].get())
                records.Renumber(*r);
            break;
        case 7:
            if (list.front())
                list.front()->number = records.Key();
            if (list.back())
                list.back()->tags.push_back(records.Key());
            break;
        case 8:
            list[at()] = records.Make();
            break;
        case 9:
            list[at()].reset();
            break;
        case 10: {
            TList::Items items;
            for (int n = records.Below(8); n > 0; --n)
                items.push_back(records.Make());
            list = std::move(items);
            break;
        }
        default:
            list.clear();
            break;
        }
        ExpectAsTheWalk(list, "round " + std::to_string(round) + ": " + steps[step]);
        if (HasFatalFailure())
            return;
    }
}

TEST(OwnedList, ChangesOfSeveralRecordsBetweenTwoLookUpsAreAllNoticed) {
    TList list;
    for (std::int32_t n = 0; n < 4; ++n)
        list.push_back(std::make_unique<TRecord>(TRecord{n, {n}}));
    ASSERT_EQ(list.Find(TRecordKeys::Number, 3), 3u);
    list[3]->number = 0; // now shares its number with the first
    list[0]->number = 5;
    list[1]->tags = {2};
    EXPECT_EQ(list.Find(TRecordKeys::Number, 0), 3u);
    EXPECT_EQ(list.Find(TRecordKeys::Number, 5), 0u);
    EXPECT_EQ(list.Find(TRecordKeys::Tag, 1), TList::npos);
    EXPECT_EQ(list.Find(TRecordKeys::Tag, 2), 1u) << "the first of the two that have it";
}

TEST(OwnedList, AMovedListTakesItsIndexesAlongAndLeavesAnEmptyOne) {
    TList list;
    list.push_back(std::make_unique<TRecord>(TRecord{7, {}}));
    TList moved(std::move(list));
    EXPECT_EQ(moved.Find(TRecordKeys::Number, 7), 0u);
    EXPECT_EQ(list.Find(TRecordKeys::Number, 7), TList::npos);
    list = std::move(moved);
    EXPECT_EQ(list.Find(TRecordKeys::Number, 7), 0u);
    EXPECT_EQ(moved.Find(TRecordKeys::Number, 7), TList::npos);
}

} // namespace

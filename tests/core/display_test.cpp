// Display numbering over a scripted enumerator: which output answers for an
// index, the fallback for display 0, and that every object handed out is
// released exactly once.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "screenrecorder/display.h"

namespace {

struct scripted_output {
    int32_t width;
    int32_t height;
    bool desc_ok = true;
    int32_t left = 0;
    int32_t top = 0;
};

struct scripted_adapter {
    std::vector<scripted_output> outputs;
    // What enum_output answers past the last scripted output.
    enum_result after_last = enum_result::not_found;
};

struct script {
    bool factory = true;
    std::vector<scripted_adapter> adapters;
    // What enum_adapter answers past the last scripted adapter.
    enum_result after_last = enum_result::not_found;
    int32_t metrics_width = 0;
    int32_t metrics_height = 0;
};

// A handle of the scripted enumerator: which object it stands for, and how
// often it was handed out and released.
struct handle {
    int delivered = 0;
    int released = 0;
};

constexpr int kMaxObjects = 8;

struct ledger {
    const script *s = nullptr;
    handle factory;
    handle adapters[kMaxObjects];
    handle outputs[kMaxObjects][kMaxObjects];
    int desc_calls = 0;
    int metrics_calls = 0;
};

ledger g_ledger;

int adapter_of(void *p) {
    return static_cast<int>(static_cast<handle *>(p) - g_ledger.adapters);
}

// The search holds at most one adapter and one output at any time: whatever
// does not carry the index is released before the next one is asked for.
int held_adapters() {
    int n = 0;
    for (const handle &a : g_ledger.adapters) {
        n += a.delivered - a.released;
    }
    return n;
}
int held_outputs() {
    int n = 0;
    for (const auto &row : g_ledger.outputs) {
        for (const handle &o : row) {
            n += o.delivered - o.released;
        }
    }
    return n;
}

void *create_factory() {
    if (!g_ledger.s->factory) {
        return nullptr;
    }
    ++g_ledger.factory.delivered;
    return &g_ledger.factory;
}

enum_result enum_adapter(void *factory, uint32_t index, void **adapter) {
    EXPECT_EQ(factory, &g_ledger.factory);
    EXPECT_EQ(g_ledger.factory.released, 0) << "adapter asked for after the factory was released";
    EXPECT_EQ(held_adapters(), 0) << "adapter " << index << " asked for while another is held";
    if (index >= g_ledger.s->adapters.size()) {
        return g_ledger.s->after_last;
    }
    ++g_ledger.adapters[index].delivered;
    *adapter = &g_ledger.adapters[index];
    return enum_result::delivered;
}

enum_result enum_output(void *adapter, uint32_t index, void **output) {
    int a = adapter_of(adapter);
    EXPECT_EQ(g_ledger.adapters[a].released, 0) << "output asked for on a released adapter";
    const scripted_adapter &sa = g_ledger.s->adapters[static_cast<size_t>(a)];
    EXPECT_EQ(held_outputs(), 0) << "output " << index << " asked for while another is held";
    if (index >= sa.outputs.size()) {
        return sa.after_last;
    }
    ++g_ledger.outputs[a][index].delivered;
    *output = &g_ledger.outputs[a][index];
    return enum_result::delivered;
}

bool locate(void *output, int *a, int *o) {
    for (*a = 0; *a < kMaxObjects; ++*a) {
        for (*o = 0; *o < kMaxObjects; ++*o) {
            if (output == &g_ledger.outputs[*a][*o]) {
                return true;
            }
        }
    }
    return false;
}

bool get_desc(void *output, int32_t *left, int32_t *top, int32_t *width, int32_t *height) {
    ++g_ledger.desc_calls;
    int a = 0;
    int o = 0;
    EXPECT_TRUE(locate(output, &a, &o));
    EXPECT_EQ(g_ledger.outputs[a][o].released, 0) << "description read from a released output";
    const scripted_output &so = g_ledger.s->adapters[static_cast<size_t>(a)].outputs[static_cast<size_t>(o)];
    if (!so.desc_ok) {
        return false;
    }
    *left = so.left;
    *top = so.top;
    *width = so.width;
    *height = so.height;
    return true;
}

void release_output(void *output) {
    ++static_cast<handle *>(output)->released;
}
void release_adapter(void *adapter) {
    ++static_cast<handle *>(adapter)->released;
}
void release_factory(void *factory) {
    ++static_cast<handle *>(factory)->released;
}
void system_metrics(int32_t *width, int32_t *height) {
    ++g_ledger.metrics_calls;
    *width = g_ledger.s->metrics_width;
    *height = g_ledger.s->metrics_height;
}

constexpr display_enumerator kScripted{create_factory, enum_adapter,    enum_output,     get_desc,
                                       release_output, release_adapter, release_factory, system_metrics};

// Every object handed out was released exactly once; nothing else was released.
void expect_balanced() {
    auto check = [](const handle &h, const std::string &what) {
        EXPECT_LE(h.delivered, 1) << what << " handed out more than once";
        EXPECT_EQ(h.released, h.delivered)
            << what << " released " << h.released << " times, handed out " << h.delivered;
    };
    check(g_ledger.factory, "factory");
    for (int a = 0; a < kMaxObjects; ++a) {
        check(g_ledger.adapters[a], "adapter " + std::to_string(a));
        for (int o = 0; o < kMaxObjects; ++o) {
            check(g_ledger.outputs[a][o], "output " + std::to_string(a) + "." + std::to_string(o));
        }
    }
}

struct answer {
    int32_t rc;
    int32_t width;
    int32_t height;
    int32_t hz;
};

constexpr int32_t kUntouched = -777;

answer query(const script &s, int32_t index) {
    g_ledger = ledger{};
    g_ledger.s = &s;
    answer a{0, kUntouched, kUntouched, kUntouched};
    a.rc = get_display_info_from(kScripted, index, &a.width, &a.height, &a.hz);
    expect_balanced();
    return a;
}

const script kOneAdapterTwoOutputs{true, {{{{1920, 1080}, {1280, 1024}}}}};
const script kTwoAdapters{true, {{{{1920, 1080}, {1280, 1024}}}, {{{2560, 1440}}}}};
const script kEmptyAdapterFirst{true, {{{}}, {{{1600, 900}, {800, 600}}}}};
const script kFailingDescThenNextAdapter{
    true, {{{{1920, 1080}, {1024, 768, false}, {640, 480}}}, {{{3840, 2160}, {1366, 768}}}}};
const script kOnlyOutputFails{true, {{{{1920, 1080, false}}}}, enum_result::not_found, 1440, 900};
const script kAdapterEnumFails{true, {{{{1920, 1080}}}, {{{1280, 720}}}}, enum_result::failed};
const script kOutputEnumFails{true, {{{{1920, 1080}}, enum_result::failed}, {{{1280, 720}}}}};
const script kEmptyRect{true, {{{{0, 0}}}}, enum_result::not_found, 1440, 900};
const script kNoFactory{false, {}, enum_result::not_found, 1440, 900};
const script kNoFactoryNoWidth{false, {}, enum_result::not_found, 0, 900};
const script kNoFactoryNoHeight{false, {}, enum_result::not_found, 1280, -4};
const script kNoFactoryNoMetrics{false, {}, enum_result::not_found, 0, 0};
const script kNoAdapters{true, {}, enum_result::not_found, 1440, 900};

struct numbering_case {
    const char *name;
    const script *s;
    int32_t index;
    answer expected;
};

const numbering_case kCases[] = {
    {"first_output", &kOneAdapterTwoOutputs, 0, {0, 1920, 1080, 60}},
    {"second_output", &kOneAdapterTwoOutputs, 1, {0, 1280, 1024, 60}},
    {"past_last_output", &kOneAdapterTwoOutputs, 2, {-1, kUntouched, kUntouched, kUntouched}},
    {"output_of_second_adapter", &kTwoAdapters, 2, {0, 2560, 1440, 60}},
    {"past_second_adapter", &kTwoAdapters, 3, {-1, kUntouched, kUntouched, kUntouched}},
    {"empty_adapter_takes_no_number", &kEmptyAdapterFirst, 0, {0, 1600, 900, 60}},
    {"empty_adapter_second_output", &kEmptyAdapterFirst, 1, {0, 800, 600, 60}},
    {"failing_desc_moves_to_next_adapter", &kFailingDescThenNextAdapter, 1, {0, 3840, 2160, 60}},
    {"unread_failing_output_keeps_numbers", &kFailingDescThenNextAdapter, 2, {0, 640, 480, 60}},
    {"next_adapter_after_all_outputs", &kFailingDescThenNextAdapter, 3, {0, 3840, 2160, 60}},
    {"failing_desc_at_0_falls_back", &kOnlyOutputFails, 0, {0, 1440, 900, 60}},
    {"failing_adapter_enum_ends_search", &kAdapterEnumFails, 0, {0, 1920, 1080, 60}},
    {"failing_adapter_enum_hides_rest", &kAdapterEnumFails, 1, {0, 1280, 720, 60}},
    {"failing_output_enum_next_adapter", &kOutputEnumFails, 1, {0, 1280, 720, 60}},
    {"empty_rect_is_answered_as_is", &kEmptyRect, 0, {0, 0, 0, 60}},
    {"negative_index", &kTwoAdapters, -1, {-1, kUntouched, kUntouched, kUntouched}},
    {"negative_index_no_factory", &kNoFactory, -1, {-1, kUntouched, kUntouched, kUntouched}},
    {"no_factory_metrics", &kNoFactory, 0, {0, 1440, 900, 60}},
    {"no_factory_other_index", &kNoFactory, 1, {-1, kUntouched, kUntouched, kUntouched}},
    {"no_factory_width_not_positive", &kNoFactoryNoWidth, 0, {0, 1920, 900, 60}},
    {"no_factory_height_not_positive", &kNoFactoryNoHeight, 0, {0, 1280, 1080, 60}},
    {"no_factory_no_metrics", &kNoFactoryNoMetrics, 0, {0, 1920, 1080, 60}},
    {"no_adapters_metrics", &kNoAdapters, 0, {0, 1440, 900, 60}},
};

void PrintTo(const numbering_case &c, std::ostream *os) {
    *os << c.name;
}

class DisplayNumbering : public testing::TestWithParam<numbering_case> {};

TEST_P(DisplayNumbering, AnswersAndReleasesEverything) {
    const numbering_case &c = GetParam();
    answer got = query(*c.s, c.index);
    EXPECT_EQ(got.rc, c.expected.rc);
    EXPECT_EQ(got.width, c.expected.width);
    EXPECT_EQ(got.height, c.expected.height);
    EXPECT_EQ(got.hz, c.expected.hz);
}

INSTANTIATE_TEST_SUITE_P(Cases, DisplayNumbering, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<numbering_case> &i) {
                             return std::string(i.param.name);
                         });

TEST(DisplayNumbering, ReadsOnlyTheDescriptionsOfTheRequestedIndex) {
    // The failing output is examined (it carries index 1), then the first
    // output of the next adapter takes the index; nothing else is described
    // and the metrics are not asked.
    answer got = query(kFailingDescThenNextAdapter, 1);
    EXPECT_EQ(got.rc, 0);
    EXPECT_EQ(g_ledger.desc_calls, 2);
    EXPECT_EQ(g_ledger.metrics_calls, 0);
}

TEST(DisplayNumbering, EnumeratesAfreshOnEveryCall) {
    script s{true, {{{{1920, 1080}}}}};
    answer first = query(s, 1);
    EXPECT_EQ(first.rc, -1);
    // A display attached between two calls is seen by the second.
    s.adapters[0].outputs.push_back({1280, 1024});
    answer second = query(s, 1);
    EXPECT_EQ(second.rc, 0);
    EXPECT_EQ(second.width, 1280);
    EXPECT_EQ(g_ledger.factory.delivered, 1);
}

TEST(DisplayGeometry, CarriesEachDisplaysPlaceOnTheDesktop) {
    // A primary display, one to its right, and on a second adapter one to the
    // left of and above it (negative corner); the output that cannot be
    // described hands its index on to the next adapter's.
    const script placed{true,
                        {{{{1920, 1080}, {1280, 1024, true, 1920, 0}, {800, 600, false, 9, 9}}},
                         {{{2560, 1440, true, -2560, -360}}}},
                        enum_result::not_found,
                        1440,
                        900};
    struct place_case {
        const script *s;
        int32_t index;
        int32_t rc;
        display_geometry expected;
    };
    const display_geometry untouched{kUntouched, kUntouched, kUntouched, kUntouched, kUntouched};
    const place_case cases[] = {
        {&placed, 0, 0, {0, 0, 1920, 1080, 60}},
        {&placed, 1, 0, {1920, 0, 1280, 1024, 60}},
        {&placed, 2, 0, {-2560, -360, 2560, 1440, 60}},
        // Index 3 counts the failing output and lands on the same display.
        {&placed, 3, 0, {-2560, -360, 2560, 1440, 60}},
        {&placed, 4, -1, untouched},
        {&placed, -1, -1, untouched},
        // The fallback of display 0 is the primary screen, at the origin.
        {&kNoFactory, 0, 0, {0, 0, 1440, 900, 60}},
        {&kOnlyOutputFails, 0, 0, {0, 0, 1440, 900, 60}},
    };
    for (const place_case &c : cases) {
        g_ledger = ledger{};
        g_ledger.s = c.s;
        display_geometry got = untouched;
        EXPECT_EQ(get_display_geometry_from(kScripted, c.index, &got), c.rc) << c.index;
        EXPECT_EQ(got.x, c.expected.x) << c.index;
        EXPECT_EQ(got.y, c.expected.y) << c.index;
        EXPECT_EQ(got.width, c.expected.width) << c.index;
        EXPECT_EQ(got.height, c.expected.height) << c.index;
        EXPECT_EQ(got.refresh_hz, c.expected.refresh_hz) << c.index;
        expect_balanced();
    }
}

TEST(DisplayNumbering, NoEnumerationFunctionsAtAll) {
    // An enumerator without a factory function behaves as one whose factory
    // cannot be created.
    g_ledger = ledger{};
    g_ledger.s = &kNoFactory;
    display_enumerator bare{};
    bare.system_metrics = system_metrics;
    int32_t w = 0, h = 0, hz = 0;
    EXPECT_EQ(get_display_info_from(bare, 0, &w, &h, &hz), 0);
    EXPECT_EQ(w, 1440);
    EXPECT_EQ(h, 900);
    EXPECT_EQ(hz, 60);
    EXPECT_EQ(get_display_info_from(bare, 1, &w, &h, &hz), -1);
}

} // namespace

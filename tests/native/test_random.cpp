// test_random.cpp: native tests of the cipher core, the reseeding generator and the sampler.
#include "planning/random.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "check.hpp"
#include "core/fault.hpp"

using tarn::Fault;
using namespace tarn;
using namespace tarn::planning;

namespace {

// ---------------------------------------------------------------------------
// Known answers, pulled out of the JSON file by a reader that knows its flat layout: an array of
// objects whose fields are strings, numbers or arrays of strings.

struct KnownCase {
    Seed key{};
    int rounds = 0;
    std::vector<std::uint8_t> keystream;
    std::vector<std::uint64_t> u64;
    std::vector<double> uniform_below_100;
    std::vector<double> uniform_below_1;
};

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The raw text of a field's value: the inside of a string, of an array, or a bare number.
std::string_view field_value(std::string_view object, std::string_view name) {
    std::string quoted(1, '"');
    quoted.append(name).push_back('"');
    std::size_t at = object.find(quoted);
    if (at == std::string_view::npos) return {};
    at = object.find_first_not_of(" \n\t:", at + quoted.size());
    const char opener = object[at];
    const std::size_t start = opener == '"' || opener == '[' ? at + 1 : at;
    const std::size_t end = opener == '"'   ? object.find('"', start)
                            : opener == '[' ? object.find(']', start)
                                            : object.find_first_of(",}\n", start);
    return object.substr(start, end - start);
}

std::vector<std::string> string_items(std::string_view array) {
    std::vector<std::string> items;
    for (std::size_t open = array.find('"'); open != std::string_view::npos;) {
        const std::size_t close = array.find('"', open + 1);
        items.emplace_back(array.substr(open + 1, close - open - 1));
        open = array.find('"', close + 1);
    }
    return items;
}

std::vector<std::uint8_t> hex_bytes(std::string_view hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(
            static_cast<std::uint8_t>(std::stoul(std::string(hex.substr(i, 2)), nullptr, 16)));
    return bytes;
}

KnownCase parse_case(std::string_view object) {
    KnownCase known;
    const auto key = hex_bytes(field_value(object, "key_hex"));
    for (std::size_t i = 0; i < known.key.size() && i < key.size(); ++i) known.key[i] = key[i];
    known.rounds = std::stoi(std::string(field_value(object, "rounds")));
    known.keystream = hex_bytes(field_value(object, "keystream_first_128_bytes_hex"));
    for (const auto& item : string_items(field_value(object, "u64_first_40")))
        known.u64.push_back(std::stoull(item));
    for (const auto& item : string_items(field_value(object, "uniform_b_100_first_40")))
        known.uniform_below_100.push_back(std::strtod(item.c_str(), nullptr));
    for (const auto& item : string_items(field_value(object, "uniform_b_1_first_40")))
        known.uniform_below_1.push_back(std::strtod(item.c_str(), nullptr));
    return known;
}

const std::vector<KnownCase>& known_cases() {
    static const std::vector<KnownCase> cases = [] {
        const std::string text = read_file(TARN_TESTDATA_DIR "chacha-known-answers.json");
        std::vector<KnownCase> parsed;
        std::size_t open = text.find('{', text.find("\"cases\""));
        while (open != std::string::npos) {
            const std::size_t close = text.find('}', open);
            parsed.push_back(parse_case(std::string_view(text).substr(open, close - open)));
            open = text.find('{', close);
        }
        return parsed;
    }();
    return cases;
}

const KnownCase& known(int rounds, std::uint8_t first_key_byte_after_zero) {
    for (const auto& c : known_cases())
        if (c.rounds == rounds && c.key[1] == first_key_byte_after_zero) return c;
    std::fprintf(stderr, "known answer missing: %d rounds, key byte %d\n", rounds,
                 first_key_byte_after_zero);
    std::abort();
}

const KnownCase& zero_key_12() { return known(12, 0); }
const KnownCase& counting_key_12() { return known(12, 1); }

// Word i of a 12-round stream, recovered from the known 64-bit outputs (low half first).
std::uint32_t known_word(const KnownCase& c, std::size_t i) {
    const std::uint64_t pair = c.u64.at(i / 2);
    return static_cast<std::uint32_t>(i % 2 == 0 ? pair : pair >> 32);
}

// ---------------------------------------------------------------------------
// Entropy sources for the tests

// Hands out a fixed key and counts how often it was asked.
class FixedSource final : public EntropySource {
public:
    explicit FixedSource(const Seed& key) : key_(key) {}
    bool fill(Seed& seed, std::string&) override {
        ++calls;
        seed = key_;
        return true;
    }
    int calls = 0;

private:
    Seed key_;
};

class FailingSource final : public EntropySource {
public:
    bool fill(Seed&, std::string& error) override {
        ++calls;
        error = "entropy pool offline";
        return false;
    }
    int calls = 0;
};

// The operating system's entropy, counted.
class CountingOsSource final : public EntropySource {
public:
    bool fill(Seed& seed, std::string& error) override {
        ++calls;
        return os_entropy().fill(seed, error);
    }
    int calls = 0;
};

void skip_words(Rng& rng, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) (void)rng.next_u32();
}

constexpr std::size_t words_per_interval = Rng::reseed_interval_bytes / 4;

}  // namespace

// ---------------------------------------------------------------------------
// Cipher core

TEST_CASE("known answers are all present") {
    CHECK_EQ(known_cases().size(), std::size_t{4});
    for (const auto& c : known_cases()) CHECK_EQ(c.keystream.size(), std::size_t{128});
    CHECK_EQ(zero_key_12().u64.size(), std::size_t{40});
    CHECK_EQ(counting_key_12().uniform_below_1.size(), std::size_t{40});
}

TEST_CASE("core keystream matches the known answers for 20 and 12 rounds, both keys") {
    for (const auto& c : known_cases()) {
        ChaChaCore core(c.key, c.rounds);
        ChaChaCore::Buffer buffer{};
        core.generate(buffer);
        for (std::size_t byte = 0; byte < c.keystream.size(); ++byte) {
            const auto word_byte = static_cast<std::uint8_t>(buffer[byte / 4] >> (8 * (byte % 4)));
            CHECK_EQ(word_byte, c.keystream[byte]);
        }
    }
}

TEST_CASE("the four blocks side by side are the four blocks one by one") {
    for (const auto& c : known_cases()) {
        ChaChaCore side_by_side(c.key, c.rounds), one_by_one(c.key, c.rounds);
        for (int refill = 0; refill < 3; ++refill) {
            ChaChaCore::Buffer fast{}, plain{};
            side_by_side.generate(fast);
            one_by_one.generate_one_by_one(plain);
            CHECK(fast == plain);
        }
    }
}

// ---------------------------------------------------------------------------
// Buffered generator

TEST_CASE("words continue across the refill boundary (63 -> 64) without gap or repeat") {
    const auto& c = zero_key_12();
    Rng rng(c.key, nullptr);
    for (std::size_t i = 0; i < 80; ++i) CHECK_EQ(rng.next_u32(), known_word(c, i));
}

TEST_CASE("64-bit outputs take the earlier word as the low half") {
    const auto& c = counting_key_12();
    Rng aligned(c.key, nullptr);
    for (std::size_t i = 0; i < c.u64.size(); ++i) CHECK_EQ(aligned.next_u64(), c.u64[i]);

    // Off by one word, the pair at 63/64 straddles two refills.
    Rng shifted(c.key, nullptr);
    (void)shifted.next_u32();
    for (std::size_t first = 1; first + 1 < 80; first += 2) {
        const std::uint64_t expected =
            std::uint64_t{known_word(c, first + 1)} << 32 | known_word(c, first);
        CHECK_EQ(shifted.next_u64(), expected);
    }
}

// ---------------------------------------------------------------------------
// Sampler

TEST_CASE("uniform draws below 100 and below 1 match the known answers") {
    for (const KnownCase* c : {&zero_key_12(), &counting_key_12()}) {
        Rng below_100(c->key, nullptr);
        Rng below_1(c->key, nullptr);
        for (std::size_t i = 0; i < 40; ++i) {
            CHECK_EQ(sample_below(below_100, 100.0), c->uniform_below_100[i]);
            CHECK_EQ(sample_below(below_1, 1.0), c->uniform_below_1[i]);
        }
    }
}

TEST_CASE("a draw that rounds up to the bound is rejected and the next one taken") {
    // Below the smallest subnormal every unit value above one half rounds to the bound itself.
    // The zero key's second output is 0.834 (rejected), its third 0.0799 (gives 0).
    const auto& c = zero_key_12();
    Rng rng(c.key, nullptr);
    (void)rng.next_u64();
    const double smallest = std::numeric_limits<double>::denorm_min();
    CHECK_EQ(sample_below(rng, smallest), 0.0);
    CHECK_EQ(rng.next_u64(), c.u64[3]);  // exactly two outputs were consumed
}

TEST_CASE("empty ranges and overflowing ranges fault with their messages, drawing nothing") {
    const auto& c = zero_key_12();
    Rng rng(c.key, nullptr);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    CHECK_THROWS_MESSAGE(sample_below(rng, 0.0), Fault, "cannot sample empty range");
    CHECK_THROWS_MESSAGE(sample_below(rng, -0.0), Fault, "cannot sample empty range");
    CHECK_THROWS_MESSAGE(sample_below(rng, -1.5), Fault, "cannot sample empty range");
    CHECK_THROWS_MESSAGE(sample_below(rng, nan), Fault, "cannot sample empty range");
    CHECK_THROWS_MESSAGE(sample_below(rng, -infinity), Fault, "cannot sample empty range");
    CHECK_THROWS_MESSAGE(sample_below(rng, infinity), Fault,
                         "UniformSampler::sample_single: range overflow");
    CHECK_EQ(rng.next_u64(), c.u64[0]);
}

// ---------------------------------------------------------------------------
// Reseeding

TEST_CASE("one reseed per 64 KiB of output, each restarting the stream from the new key") {
    const auto& start = zero_key_12();
    const auto& next_key = counting_key_12();
    FixedSource source(next_key.key);
    Rng rng(start.key, &source);

    skip_words(rng, words_per_interval);  // exactly 64 KiB: not yet
    CHECK_EQ(source.calls, 0);
    CHECK_EQ(rng.next_u32(), known_word(next_key, 0));  // word 16384 comes from the fresh key
    CHECK_EQ(source.calls, 1);
    for (std::size_t i = 1; i < 80; ++i) CHECK_EQ(rng.next_u32(), known_word(next_key, i));

    skip_words(rng, words_per_interval - 80);  // 2 * 16384 words
    CHECK_EQ(source.calls, 1);
    skip_words(rng, words_per_interval + 1);  // 3 * 16384 + 1 words
    CHECK_EQ(source.calls, 3);
}

TEST_CASE("a failing reseed is ignored and retried only at the next interval") {
    const auto& c = zero_key_12();
    FailingSource source;
    Rng reseeding(c.key, &source);
    Rng fixed(c.key, nullptr);
    bool same = true;
    for (std::size_t i = 0; i < 3 * words_per_interval + 64; ++i)
        same = same && reseeding.next_u32() == fixed.next_u32();
    CHECK(same);
    CHECK_EQ(source.calls, 3);
}

#ifndef _WIN32  // Windows has no fork
TEST_CASE("after a fork parent and child each reseed and drop their buffered words") {
    const auto& c = zero_key_12();
    CountingOsSource source;
    Rng rng(c.key, &source);
    skip_words(rng, 5);

    int channel[2];
    CHECK_EQ(::pipe(channel), 0);
    const pid_t child = ::fork();
    CHECK(child >= 0);
    if (child == 0) {
        std::uint32_t report[5] = {};
        for (std::size_t i = 0; i < 4; ++i) report[i] = rng.next_u32();
        report[4] = static_cast<std::uint32_t>(source.calls);
        const bool sent = ::write(channel[1], report, sizeof(report)) == sizeof(report);
        ::_exit(sent ? 0 : 1);
    }
    ::close(channel[1]);

    std::uint32_t parent_words[4];
    for (auto& word : parent_words) word = rng.next_u32();
    std::uint32_t child_report[5] = {};
    const bool received =
        ::read(channel[0], child_report, sizeof(child_report)) == sizeof(child_report);
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);

    CHECK(received);
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    CHECK_EQ(source.calls, 1);
    CHECK_EQ(child_report[4], 1u);
    for (std::size_t i = 0; i < 4; ++i) {
        CHECK(parent_words[i] != known_word(c, 5 + i));  // not the stale buffer
        CHECK(child_report[i] != known_word(c, 5 + i));
        CHECK(parent_words[i] != child_report[i]);
    }
}

#endif

// ---------------------------------------------------------------------------
// Seeding and the per-thread generator

TEST_CASE("the operating system's entropy sources give fresh seeds") {
    std::vector<EntropySource*> sources{&os_entropy()};
#ifndef _WIN32
    sources.push_back(&device_entropy());
#endif
    for (EntropySource* source : sources) {
        Seed first{};
        Seed second{};
        std::string error;
        CHECK(source->fill(first, error));
        CHECK(source->fill(second, error));
        CHECK(error.empty());
        CHECK(first != second);
    }
}

TEST_CASE("a thread generator that cannot be seeded faults with the source's error") {
    FailingSource source;
    CHECK_THROWS_MESSAGE(make_thread_rng(source), Fault,
                         "could not initialize thread_rng: entropy pool offline");
}

TEST_CASE("thread_rng is one generator per thread, with independent streams") {
    CHECK(&thread_rng() == &thread_rng());
    auto draw = [](std::vector<std::uint64_t>& out) {
        for (int i = 0; i < 4; ++i) out.push_back(thread_rng().next_u64());
    };
    std::vector<std::uint64_t> first;
    std::vector<std::uint64_t> second;
    std::thread one(draw, std::ref(first));
    std::thread two(draw, std::ref(second));
    one.join();
    two.join();
    std::vector<std::uint64_t> here;
    draw(here);
    CHECK_EQ(first.size(), std::size_t{4});
    CHECK(first != second);
    CHECK(first != here);
    CHECK(second != here);
}

CHECK_MAIN()

// Reading and writing JSON text: throughput in bytes of text per second, and
// the heap taken by a read JsonValue tree relative to its text.
//
// The inputs are generated from fixed seeds: a ~1 MB "mixed" document of
// records (nested objects and arrays, strings with escapes and non-ASCII
// text, integers, doubles), and two skewed ones, mostly numbers and mostly
// strings. Keys are written in no particular order, as most producers do.
#include <benchmark/benchmark.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <thread>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "json/reader.hpp"
#include "json/writer.hpp"

namespace {

using zarn::json::JsonValue;

class DocumentMaker {
public:
    explicit DocumentMaker(std::uint64_t seed) : random_(seed) {}

    // An array of records until the text reaches `bytes`.
    std::string mixed(std::size_t bytes) {
        out_ = "[";
        while (out_.size() < bytes) {
            if (out_.size() > 1) out_ += ',';
            record();
        }
        out_ += ']';
        return std::move(out_);
    }

    std::string numbers(std::size_t bytes) {
        out_ = "[";
        while (out_.size() < bytes) {
            if (out_.size() > 1) out_ += ',';
            out_ += '[';
            for (int i = 0; i < 8; ++i) {
                if (i > 0) out_ += ',';
                if (i % 2 == 0) integer();
                else floating();
            }
            out_ += ']';
        }
        out_ += ']';
        return std::move(out_);
    }

    std::string strings(std::size_t bytes) {
        out_ = "[";
        while (out_.size() < bytes) {
            if (out_.size() > 1) out_ += ',';
            text(4 + pick(40));
        }
        out_ += ']';
        return std::move(out_);
    }

private:
    void record() {
        out_ += "{\"id\":";
        out_ += std::to_string(pick(10'000'000));
        out_ += ",\"name\":";
        text(1 + pick(3));
        out_ += ",\"active\":";
        out_ += pick(2) ? "true" : "false";
        out_ += ",\"score\":";
        floating();
        out_ += ",\"delta\":-";
        out_ += std::to_string(1 + pick(100'000));
        out_ += ",\"tags\":[";
        for (std::size_t n = pick(5), i = 0; i < n; ++i) {
            if (i > 0) out_ += ',';
            text(1);
        }
        out_ += "],\"bio\":";
        text(5 + pick(25));
        out_ += ",\"location\":{\"lon\":";
        floating();
        out_ += ",\"lat\":";
        floating();
        out_ += ",\"city\":";
        text(1 + pick(2));
        out_ += "},\"history\":[";
        for (std::size_t n = pick(4), i = 0; i < n; ++i) {
            if (i > 0) out_ += ',';
            out_ += "{\"ts\":";
            out_ += std::to_string(1'700'000'000 + pick(100'000'000));
            out_ += ",\"amount\":";
            floating();
            out_ += ",\"note\":";
            text(pick(6));
            out_ += '}';
        }
        out_ += "],\"parent\":null,\"matrix\":[[";
        integer();
        out_ += ',';
        integer();
        out_ += "],[";
        floating();
        out_ += "]]}";
    }

    // A string of `words` words from a mix of ASCII, Latin, Cyrillic, CJK
    // and emoji text, with escapes now and then.
    void text(std::size_t words) {
        static constexpr std::string_view kWords[] = {
            "the",      "quick", "brown", "fox",  "jumps", "over",  "lazy",   "dog",    "data", "server", "request",
            "response", "value", "Grüße", "Köln", "naïve", "café",  "Straße", "Привет", "мир",  "日本語", "テキスト",
            "数据",     "😀",    "🚀",    "x",    "lorem", "ipsum", "dolor",  "sit",    "amet", "2026"};
        static constexpr std::string_view kEscapes[] = {"\\n",     "\\\"",           "\\\\", "\\t",
                                                        "\\u00e9", "\\ud83d\\ude00", "\\/"};
        out_ += '"';
        for (std::size_t i = 0; i < words; ++i) {
            if (i > 0) out_ += ' ';
            out_ += kWords[pick(std::size(kWords))];
            if (pick(8) == 0) out_ += kEscapes[pick(std::size(kEscapes))];
        }
        out_ += '"';
    }

    void integer() {
        if (pick(2)) out_ += '-';
        out_ += std::to_string(random_() >> (pick(60) + 4));
    }

    // Doubles as data carries them: a few decimals mostly, full precision
    // and exponents sometimes.
    void floating() {
        double d;
        switch (pick(4)) {
            case 0: d = static_cast<double>(pick(1'000'000)) / 100; break;
            case 1: d = static_cast<double>(pick(100'000'000)) / 1e6 - 50; break;
            case 2: d = std::uniform_real_distribution<double>(-1, 1)(random_); break;
            default: d = std::uniform_real_distribution<double>(1, 10)(random_) * std::pow(10.0, double(pick(40)) - 20);
        }
        char buf[32];
        out_.append(buf, std::to_chars(buf, buf + sizeof buf, d).ptr);
    }

    std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_); }

    std::mt19937_64 random_;
    std::string out_;
};

constexpr std::size_t kDocumentBytes = 1 << 20;

const std::string& document(int kind) {
    static const std::string mixed = DocumentMaker(1).mixed(kDocumentBytes);
    static const std::string numbers = DocumentMaker(2).numbers(kDocumentBytes);
    static const std::string strings = DocumentMaker(3).strings(kDocumentBytes);
    return kind == 0 ? mixed : kind == 1 ? numbers : strings;
}

JsonValue read_or_die(const std::string& text) {
    auto value = zarn::json::read_json(text);
    if (!value) {
        std::fprintf(stderr, "bench input does not read: %s\n", value.error().to_string().c_str());
        std::abort();
    }
    return std::move(*value);
}

// Heap bytes in use, from the allocator itself (chunk overhead included).
std::size_t heap_in_use() {
#if defined(__GLIBC__)
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#else
    return 0;
#endif
}

// Bytes the tree asks for: element and member blocks (with their headers),
// and the texts of strings too long to be held inline.
std::size_t tree_bytes(const JsonValue& value) {
    constexpr std::size_t kHeader = 2 * sizeof(std::size_t);
    const auto text_bytes = [](const zarn::json::JsonString& s) { return s.is_inline() ? 0 : s.size(); };
    switch (value.kind()) {
        case zarn::json::JsonKind::string: return text_bytes(value.as_string());
        case zarn::json::JsonKind::array: {
            const auto& array = value.as_array();
            std::size_t n = array.capacity() == 0 ? 0 : kHeader + array.capacity() * sizeof(JsonValue);
            for (const JsonValue& element : array) n += tree_bytes(element);
            return n;
        }
        case zarn::json::JsonKind::object: {
            const auto& object = value.as_object();
            std::size_t n = object.empty() ? 0 : kHeader + object.size() * sizeof(zarn::json::JsonObject::Member);
            for (const auto& [key, member] : value.as_object()) n += text_bytes(key) + tree_bytes(member);
            return n;
        }
        default: return 0;
    }
}

// Reading alone: the tree is freed outside the timed part (BM_Free times that).
void BM_Read(benchmark::State& state) {
    const std::string& text = document(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        auto value = zarn::json::read_json(text);
        benchmark::DoNotOptimize(value);
        state.PauseTiming();
        value = std::unexpected(zarn::json::JsonReadError{});
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));

    // Measured on a thread of its own, whose block cache starts empty, so
    // that every block of the tree comes from the allocator.
    std::size_t heap = 0;
    JsonValue tree;
    std::thread([&] {
        const std::size_t before = heap_in_use();
        tree = read_or_die(text);
        heap = heap_in_use() - before;
    }).join();
    benchmark::DoNotOptimize(tree);
    const auto size = static_cast<double>(text.size());
    state.counters["text_bytes"] = size;
    // Heap as the allocator sees it (chunk overhead included), and the bytes
    // the tree itself asks for, with the root, per byte of text.
    state.counters["heap_per_text"] = static_cast<double>(heap) / size;
    state.counters["tree_per_text"] = static_cast<double>(sizeof(JsonValue) + tree_bytes(tree)) / size;
}

void BM_Free(benchmark::State& state) {
    const std::string& text = document(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        JsonValue value = read_or_die(text);
        state.ResumeTiming();
        { const JsonValue gone = std::move(value); }
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_Write(benchmark::State& state) {
    const std::string& text = document(static_cast<int>(state.range(0)));
    const JsonValue value = read_or_die(text);
    std::size_t written = 0;
    for (auto _ : state) {
        std::string out = zarn::json::to_json_text(value);
        written = out.size();
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * written));
}

// Writing into a buffer that already has room: the writer without growth.
void BM_WriteReusedBuffer(benchmark::State& state) {
    const JsonValue value = read_or_die(document(static_cast<int>(state.range(0))));
    std::string out;
    for (auto _ : state) {
        out.clear();
        zarn::json::write_json(value, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * out.size()));
}

void documents(benchmark::internal::Benchmark* b) {
    b->ArgName("doc")->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_Read)->Apply(documents);
BENCHMARK(BM_Free)->Apply(documents);
BENCHMARK(BM_Write)->Apply(documents);
BENCHMARK(BM_WriteReusedBuffer)->Apply(documents);

}  // namespace

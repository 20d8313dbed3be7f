// bench_decode.cpp - the cost of decoding a form body, for the largest body
// the program accepts (99,999 bytes in 1000 pairs) and for one a tenth of
// that size (9,999 bytes in 100 pairs). Both bodies are built from the same
// kind of pair, so a decoder whose cost grows in proportion to the body
// takes about ten times as long for the first; bench/decode-ratio reports
// the ratio.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "form/form_internal.h"

namespace {

// Pieces of what visitors type, URL-encoded as browsers send them: '+' for
// spaces, escapes for punctuation, line ends and non-ASCII letters.
const char* const VALUE_PIECES[] = {
    "Joe+Bloggs",   "%2C+",         "42+High+Street", "%0D%0A",  "Z%C3%BCrich", "+%26+",
    "joe%40example.org", "+50%25+off", "%3F",          "%21",     "+caf%C3%A9",  "%2B44+20+7946+0000",
};
constexpr int PIECE_COUNT = sizeof VALUE_PIECES / sizeof VALUE_PIECES[0];

// One pair of exactly `length` bytes: a numbered name, '=', and pieces
// (never cut inside an escape), padded with letters.
std::string make_pair(int number, std::size_t length) {
  char name[32];
  std::snprintf(name, sizeof name, "field_%04d=", number);
  std::string pair = name;
  for (int piece = number % PIECE_COUNT;; piece = (piece + 1) % PIECE_COUNT) {
    const char* next = VALUE_PIECES[piece];
    if (pair.size() + std::strlen(next) > length) break;
    pair += next;
  }
  pair.append(length - pair.size(), 'x');
  return pair;
}

// `pairs` pairs joined by '&', `bytes` bytes in all.
std::string make_body(int pairs, int bytes) {
  std::size_t pair_bytes = static_cast<std::size_t>(bytes - (pairs - 1)) / static_cast<std::size_t>(pairs);
  std::string body;
  for (int i = 0; i < pairs; i++) {
    if (i != 0) body += '&';
    body += make_pair(i, pair_bytes);
  }
  // Whatever the division left over goes to the last value.
  body.append(static_cast<std::size_t>(bytes) - body.size(), 'x');
  return body;
}

void decode_body(benchmark::State& state, int pairs, int bytes) {
  std::string body = make_body(pairs, bytes);
  if (body.size() != static_cast<std::size_t>(bytes)) {
    state.SkipWithError("the body has the wrong size");
    return;
  }
  std::vector<char> copy(body.size() + 1);
  for (auto _ : state) {
    // read_form_data hands the decoder a fresh buffer each run.
    std::memcpy(copy.data(), body.c_str(), body.size() + 1);
    decode_form_body(copy.data());
    benchmark::DoNotOptimize(form_variable_table.entries[0].value);
    if (form_variable_table.count != pairs) {
      state.SkipWithError("the body did not decode into the expected pairs");
      break;
    }
    form_reset();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * bytes);
  state.counters["pairs"] = pairs;
}

BENCHMARK_CAPTURE(decode_body, 1000_pairs_99999_bytes, 1000, FORM_BUFFER_SIZE - 1)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(decode_body, 100_pairs_9999_bytes, 100, 9999)->Unit(benchmark::kMicrosecond);

}  // namespace

// Byte buffer throughput: a queue filled and drained in small pieces (the
// shape of the process's input and output queues) and string framing.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "buffer/sshbuf-ptr.h"
#include "buffer/sshbuf.h"

namespace {

using buf_ptr = vardek::unique_ptr<sshbuf>;

// Appends `piece` bytes and takes `piece` bytes back, with a standing backlog
// of range(1) bytes, so compaction is exercised as in a busy queue.
void BM_QueueFillDrain(benchmark::State &state) {
  const size_t piece = static_cast<size_t>(state.range(0));
  const size_t backlog = static_cast<size_t>(state.range(1));
  std::vector<unsigned char> chunk(piece, 0x5a);
  buf_ptr q(sshbuf_new());
  std::vector<unsigned char> fill(backlog, 0x11);
  if (sshbuf_put(q.get(), fill.data(), fill.size()) != 0) state.SkipWithError("fill");
  for (auto _ : state) {
    if (sshbuf_put(q.get(), chunk.data(), piece) != 0 || sshbuf_consume(q.get(), piece) != 0) {
      state.SkipWithError("queue");
      break;
    }
    benchmark::DoNotOptimize(sshbuf_ptr(q.get()));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(piece));
}
BENCHMARK(BM_QueueFillDrain)->Args({4, 0})->Args({64, 1024})->Args({512, 16384})->Args({16384, 0});

// Frames and unframes one string per iteration through a reused buffer.
void BM_StringPutGet(benchmark::State &state) {
  const size_t len = static_cast<size_t>(state.range(0));
  std::vector<unsigned char> blob(len, 0xa5);
  buf_ptr b(sshbuf_new());
  for (auto _ : state) {
    const unsigned char *p;
    size_t n;
    if (sshbuf_put_string(b.get(), blob.data(), blob.size()) != 0 ||
        sshbuf_get_string_direct(b.get(), &p, &n) != 0) {
      state.SkipWithError("string");
      break;
    }
    benchmark::DoNotOptimize(p);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(len));
}
BENCHMARK(BM_StringPutGet)->Arg(0)->Arg(32)->Arg(1024)->Arg(10240);

// Copying reader: one allocation per string.
void BM_StringGetCopy(benchmark::State &state) {
  const size_t len = static_cast<size_t>(state.range(0));
  std::vector<unsigned char> blob(len, 0xa5);
  buf_ptr b(sshbuf_new());
  for (auto _ : state) {
    unsigned char *copy;
    size_t n;
    if (sshbuf_put_string(b.get(), blob.data(), blob.size()) != 0 ||
        sshbuf_get_string(b.get(), &copy, &n) != 0) {
      state.SkipWithError("string");
      break;
    }
    std::free(copy);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(len));
}
BENCHMARK(BM_StringGetCopy)->Arg(32)->Arg(1024);

}  // namespace

BENCHMARK_MAIN();

#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "host_value.h"

namespace vandrel {

/// Everything the filter takes from the environment it runs in. One implementation runs
/// stand-alone (host/), another inside MATLAB or GNU Octave (mex/). The filter core calls
/// nothing else outside itself except BLAS, LAPACK and OpenMP.
///
/// Thread rules: `allocate`, `allocate_zeroed`, `release` and `print_parallel` may be
/// called from any thread; everything else only from the thread that called the filter
/// (the calling thread), never inside a parallel region.
class Host {
 public:
  virtual ~Host() = default;

  /// Memory. Never returns null: a host that cannot allocate raises an error instead.
  virtual void* allocate(std::size_t bytes) = 0;
  virtual void* allocate_zeroed(std::size_t count, std::size_t element_size) = 0;
  virtual void release(void* block) = 0;

  /// Calls a host function by name with one output, e.g. "rangesearch", "knnsearch",
  /// "int32", "feval". An error inside the host comes back as a thrown vandrel::Error.
  /// The result is checked by the caller, never trusted.
  virtual Value call(std::string_view function, std::vector<Value> inputs) = 0;

  /// Console output from the calling thread.
  virtual void print(std::string_view text) = 0;
  /// Console output that is safe inside a parallel region.
  virtual void print_parallel(std::string_view text) = 0;

  /// Prepares per-thread state for a parallel region and returns the number of threads
  /// the region is to use (at least 1). `max_threads` is OpenMP's maximum, `processors`
  /// the processor count.
  virtual int prepare_threads(int max_threads, int processors) = 0;

  /// Called on the calling thread when a stage of the filter ends ("radius search",
  /// "nearest neighbours", "estimates", "fusion", "solve", "noise update", "merge"), for
  /// hosts that profile. Does nothing by default.
  virtual void stage_done(const char* /*stage*/) {}
};

/// Per-thread run-time context: the host and a clean-up stack of array handles.
/// Every function that creates dynamic arrays takes one; each worker thread of a
/// parallel region makes its own from the calling thread's host.
class Context {
 public:
  using FreeFunction = void (*)(Context& ctx, void* handle);

  explicit Context(Host& host) : host_(&host) {}
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  ~Context() { unwind_to(0); }

  Host& host() const { return *host_; }

  /// Registers the address of an array handle and its free function. When the scope
  /// that registered it is left (normally or by an error), the function is called on
  /// the handle; the free functions ignore handles that are already null.
  void push(void* handle, FreeFunction free_function) { entries_.push_back({handle, free_function}); }

  std::size_t depth() const { return entries_.size(); }

  /// Frees, newest first, every registered array above `depth`, and forgets them.
  void unwind_to(std::size_t depth) {
    while (entries_.size() > depth) {
      const Entry e = entries_.back();
      entries_.pop_back();
      e.free_function(*this, e.handle);
    }
  }

 private:
  struct Entry {
    void* handle;
    FreeFunction free_function;
  };
  Host* host_;
  std::vector<Entry> entries_;
};

/// A function's clean-up scope. Arrays registered while it lives are freed when it ends,
/// which matters only when an exception unwinds the function: on the normal path the
/// function has freed them itself and their handles are null.
class CleanupScope {
 public:
  explicit CleanupScope(Context& ctx) : ctx_(ctx), depth_(ctx.depth()) {}
  CleanupScope(const CleanupScope&) = delete;
  CleanupScope& operator=(const CleanupScope&) = delete;
  ~CleanupScope() { ctx_.unwind_to(depth_); }

 private:
  Context& ctx_;
  std::size_t depth_;
};

}  // namespace vandrel

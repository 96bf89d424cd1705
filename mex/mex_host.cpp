#include "mex_host.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "api/error.h"

namespace vandrel {
namespace {

std::atomic<std::int64_t> live_blocks{0};

struct DestroyHostArray {
  void operator()(mxArray* a) const { mxDestroyArray(a); }
};
using HostArray = std::unique_ptr<mxArray, DestroyHostArray>;

// The Value class of a host array; nothing for what the filter never takes (sparse
// arrays, structures, objects, other numeric classes).
std::optional<ValueClass> value_class(const mxArray* a) {
  if (mxIsSparse(a)) return std::nullopt;
  switch (mxGetClassID(a)) {
    case mxDOUBLE_CLASS: return ValueClass::Double;
    case mxSINGLE_CLASS: return ValueClass::Single;
    case mxINT32_CLASS: return ValueClass::Int32;
    case mxCHAR_CLASS: return ValueClass::Char;
    case mxLOGICAL_CLASS: return ValueClass::Logical;
    case mxCELL_CLASS: return ValueClass::Cell;
    default: return std::nullopt;
  }
}

std::string host_class_name(const mxArray* a) {
  return std::string(mxGetClassName(a)) + (mxIsSparse(a) ? " (sparse)" : "");
}

// Class, complex flag and extents of a host array, without its elements.
Value header(const mxArray* a, ValueClass cls) {
  Value v;
  v.cls = cls;
  v.is_complex = mxIsComplex(a);
  const mwSize count = mxGetNumberOfDimensions(a);
  const mwSize* dims = mxGetDimensions(a);
  v.dims.assign(dims, dims + count);
  return v;
}

template <class T>
void copy_elements(const mxArray* a, std::vector<T>& into) {
  into.resize(mxGetNumberOfElements(a));
  if (!into.empty()) std::memcpy(into.data(), mxGetData(a), into.size() * sizeof(T));
}

std::string text_of(const mxArray* a) {
  if (a == nullptr || !mxIsChar(a)) return {};
  char* s = mxArrayToString(a);
  std::string out = s != nullptr ? s : "";
  mxFree(s);
  return out;
}

// A field of the exception a trapped call returns: Octave gives a structure, MATLAB an
// MException object.
std::string exception_field(const mxArray* exception, const char* field) {
  if (mxIsStruct(exception)) return text_of(mxGetField(exception, 0, field));
  const HostArray property(mxGetProperty(exception, 0, field));
  return text_of(property.get());
}

std::vector<mwSize> host_dims(const Value& v) { return {v.dims.begin(), v.dims.end()}; }

HostArray numeric_array(const Value& v, mxClassID id, const void* data, std::size_t element_size) {
  const std::vector<mwSize> dims = host_dims(v);
  HostArray a(mxCreateNumericArray(dims.size(), dims.data(), id, mxREAL));
  const auto count = static_cast<std::size_t>(v.numel());
  if (count > 0) std::memcpy(mxGetData(a.get()), data, count * element_size);
  return a;
}

HostArray to_host_array(const Value& v) {
  switch (v.cls) {
    case ValueClass::Cell: {
      // A host output handed on to another host function, as knnsearch's goes to int32.
      const std::vector<mwSize> dims = host_dims(v);
      HostArray a(mxCreateCellArray(dims.size(), dims.data()));
      for (std::size_t i = 0; i < v.cells.size(); ++i) mxSetCell(a.get(), i, to_host_array(v.cells[i]).release());
      return a;
    }
    case ValueClass::Double: return numeric_array(v, mxDOUBLE_CLASS, v.f64.data(), sizeof(double));
    case ValueClass::Single: return numeric_array(v, mxSINGLE_CLASS, v.f32.data(), sizeof(float));
    case ValueClass::Int32: return numeric_array(v, mxINT32_CLASS, v.i32.data(), sizeof(std::int32_t));
    case ValueClass::Char: return HostArray(mxCreateString(v.text.c_str()));
    default: break;
  }
  throw Error("Vandrel:hostCall", std::string("A ") + class_name(v.cls) + " value cannot be passed to the host.");
}

}  // namespace

MexHost::MexHost(LockerFunction locker) : locker_(locker), calling_thread_(std::this_thread::get_id()) {}

void* MexHost::allocate(std::size_t bytes) {
  void* p = std::malloc(bytes == 0 ? 1 : bytes);
  if (p == nullptr) throw Error("Vandrel:outOfMemory", "Out of memory.");
  ++live_blocks;
  return p;
}

void* MexHost::allocate_zeroed(std::size_t count, std::size_t element_size) {
  void* p = std::calloc(count == 0 ? 1 : count, element_size == 0 ? 1 : element_size);
  if (p == nullptr) throw Error("Vandrel:outOfMemory", "Out of memory.");
  ++live_blocks;
  return p;
}

void MexHost::release(void* block) {
  if (block == nullptr) return;
  std::free(block);
  --live_blocks;
}

Value MexHost::call(std::string_view function, std::vector<Value> inputs) {
  const std::string name(function);
  if (!on_calling_thread()) {
    throw Error("Vandrel:hostCall", "The host function " + name + " was called from a worker thread.");
  }
  flush_console();

  std::vector<HostArray> owned;
  std::vector<mxArray*> arguments;
  for (const Value& v : inputs) {
    owned.push_back(to_host_array(v));
    arguments.push_back(owned.back().get());
  }
  mxArray* outputs[1] = {nullptr};
  const HostArray exception(mexCallMATLABWithTrap(1, outputs, static_cast<int>(arguments.size()),
                                                  arguments.data(), name.c_str()));
  const HostArray output(outputs[0]);
  if (exception) {
    std::string identifier = exception_field(exception.get(), "identifier");
    std::string message = exception_field(exception.get(), "message");
    throw Error(identifier.empty() ? "Vandrel:hostCall" : std::move(identifier),
                message.empty() ? name + " failed." : std::move(message));
  }
  if (!output) throw Error("Vandrel:hostCall", "The host function " + name + " returned no value.");
  return import_host_value(output.get(), "<output of " + name + ">");
}

void MexHost::print(std::string_view text) {
  if (!on_calling_thread()) {
    print_parallel(text);
    return;
  }
  flush_console();
  mexPrintf("%.*s", static_cast<int>(text.size()), text.data());
}

void MexHost::print_parallel(std::string_view text) {
  if (on_calling_thread()) {
    print(text);
    return;
  }
  struct Append {
    std::string* pending;
    std::string_view text;
  } append{&pending_, text};
  run_locked([](void* data) {
    auto* a = static_cast<Append*>(data);
    a->pending->append(a->text);
  }, &append);
}

int MexHost::prepare_threads(int max_threads, int /*processors*/) {
  flush_console();
  return max_threads > 0 ? max_threads : 1;
}

void MexHost::flush_console() {
  std::string text;
  struct Take {
    std::string* pending;
    std::string* into;
  } take{&pending_, &text};
  run_locked([](void* data) {
    auto* t = static_cast<Take*>(data);
    t->into->swap(*t->pending);
  }, &take);
  if (!text.empty()) mexPrintf("%.*s", static_cast<int>(text.size()), text.data());
}

std::int64_t MexHost::live_allocations() { return live_blocks.load(); }

void MexHost::clear_allocation_count() { live_blocks.store(0); }

void MexHost::run_locked(void (*function)(void* data), void* data) {
  if (locker_ != nullptr) {
    locker_(function, data);
  } else {
    function(data);
  }
}

Value import_host_value(const mxArray* a, const std::string& name) {
  const std::optional<ValueClass> cls = value_class(a);
  if (!cls) {
    throw Error("Vandrel:classMismatch", "Expected " + name +
                                             " to be of class double, single, int32, char, logical or cell, but it "
                                             "is of class " + host_class_name(a) + ".");
  }
  Value v = header(a, *cls);
  switch (*cls) {
    case ValueClass::Double: copy_elements(a, v.f64); break;
    case ValueClass::Single: copy_elements(a, v.f32); break;
    case ValueClass::Int32: copy_elements(a, v.i32); break;
    case ValueClass::Char: v.text = text_of(a); break;
    case ValueClass::Logical: break;
    case ValueClass::Cell: {
      const mwSize count = mxGetNumberOfElements(a);
      v.cells.reserve(count);
      for (mwSize i = 0; i < count; ++i) {
        const mxArray* element = mxGetCell(a, i);
        // An element never assigned is an empty double array.
        v.cells.push_back(element != nullptr ? import_host_value(element, name) : Value{});
      }
      break;
    }
  }
  return v;
}

void check_host_value(const mxArray* a, ValueClass cls, bool is_complex, std::initializer_list<Extent> extents,
                      const std::string& name) {
  if (value_class(a) != cls) {
    throw Error("Vandrel:classMismatch", "Expected " + name + " to be of class " + class_name(cls) +
                                             ", but it is of class " + host_class_name(a) + ".");
  }
  check_value(header(a, cls), cls, is_complex, extents, name);
}

}  // namespace vandrel

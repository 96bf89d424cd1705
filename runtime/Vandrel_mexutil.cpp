#include "Vandrel_mexutil.h"

#include <utility>
#include <vector>

namespace vandrel {

Value to_host_single_matrix(const emxArray_real32_T* a) {
  const std::int64_t rows = a->size[0];
  const std::int64_t cols = a->dimCount > 1 ? a->size[1] : 1;
  return Value::single_matrix(a->data, rows, cols);
}

Value feval(Context& ctx, const std::string& function, Value arg1, Value arg2, Value arg3) {
  std::vector<Value> inputs;
  inputs.reserve(4);
  inputs.push_back(Value::char_row(function));
  inputs.push_back(std::move(arg1));
  inputs.push_back(std::move(arg2));
  inputs.push_back(std::move(arg3));
  return ctx.host().call("feval", std::move(inputs));
}

double read_double_scalar(const Value& v, const std::string& name) {
  check_value(v, ValueClass::Double, false, {Extent::fixed(1), Extent::fixed(1)}, name);
  return v.f64[0];
}

void host_fprintf(Context& ctx, const char* format, Value argument) {
  const Value out = feval(ctx, "fprintf", Value::double_scalar(1.0), Value::char_row(format), std::move(argument));
  read_double_scalar(out, "<output of feval>");
}

}  // namespace vandrel

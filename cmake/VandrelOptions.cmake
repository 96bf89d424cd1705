# Warnings and the floating-point rules every target of the project is compiled with:
# one rounding per operation (no fused multiply-add), never fast-math.
function(vandrel_target_options target)
  target_compile_features(${target} PUBLIC cxx_std_20)
  set_target_properties(${target} PROPERTIES CXX_EXTENSIONS OFF)
  set(gcc_like -Wall -Wextra -Wpedantic -Wshadow -Wconversion -ffp-contract=off)
  target_compile_options(${target} PRIVATE
    "$<$<CXX_COMPILER_ID:GNU,Clang,AppleClang>:${gcc_like}>" "$<$<CXX_COMPILER_ID:MSVC>:/W4;/fp:precise>")
  if(VANDREL_SANITIZE)
    # UBSan's undefined leaves out out-of-range float to integer conversions: asked for too.
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined,float-cast-overflow -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined,float-cast-overflow)
  endif()
endfunction()

# The checker's objects call no C library transcendental function: their last bits differ
# between glibc and MinGW (the x87 fsin), and the Linux and Windows checkers must feed a module
# the same input, bit for bit. Run as cmake -DNM=... -DOBJECTS=a.o;b.o -P check_no_libm.cmake.
set(forbidden "sin|cos|tan|asin|acos|atan|atan2|sinh|cosh|tanh|exp|exp2|expm1|log|log2|log10|log1p|pow|cbrt|hypot|erf|lgamma|tgamma")
foreach(object IN LISTS OBJECTS)
  execute_process(COMMAND ${NM} -u ${object} OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${NM} could not read ${object}")
  endif()
  string(REGEX MATCHALL "[ \n]_?(${forbidden})[fl]?(@[^\n]*)?\n" found "\n${symbols}")
  if(found)
    string(STRIP "${found}" found)
    message(FATAL_ERROR "${object} calls ${found}: use dsp/portable_math.h")
  endif()
endforeach()
list(LENGTH OBJECTS count)
message(STATUS "${count} objects call no C library transcendental function")

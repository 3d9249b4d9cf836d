# lv2_validate over the bundle's Turtle files (no error, no warning), lv2info on both plugins
# (their ports with ranges and scale points), and the units as sordi reads them (lv2info does
# not print units). Run: cmake -DBUNDLE=dir -P this.
file(GLOB turtle ${BUNDLE}/*.ttl)
execute_process(COMMAND lv2_validate ${turtle} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(APPEND out "${err}")
if(NOT status EQUAL 0 OR NOT out MATCHES "Found 0 errors" OR out MATCHES "[Ww]arning|error:")
  message(FATAL_ERROR "lv2_validate found problems:\n${out}")
endif()
foreach(plugin mono stereo)
  execute_process(COMMAND lv2info urn:qz-grindlet:${plugin}
    RESULT_VARIABLE status OUTPUT_VARIABLE info ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "lv2info urn:qz-grindlet:${plugin} failed: ${err}")
  endif()
  foreach(expected "Name:[ \t]*QZ-Grindlet" "Symbol:[ \t]*bits" "Symbol:[ \t]*rate"
                   "Symbol:[ \t]*quantize" "Symbol:[ \t]*mode" "Symbol:[ \t]*drive"
                   "Symbol:[ \t]*mix" "Symbol:[ \t]*gain" "Symbol:[ \t]*enabled"
                   "Designation:[ \t]*http://lv2plug.in/ns/lv2core#enabled" "Maximum:[ \t]*192000"
                   "0 = \"Floor\"" "1 = \"Round\"" "2 = \"Inside\"" "1 = \"Linear\"")
    if(NOT info MATCHES "${expected}")
      message(FATAL_ERROR "lv2info urn:qz-grindlet:${plugin} lacks ${expected}:\n${info}")
    endif()
  endforeach()
endforeach()
execute_process(COMMAND sordi ${BUNDLE}/qz-grindlet.ttl RESULT_VARIABLE status OUTPUT_VARIABLE triples)
set(unit "<http://lv2plug.in/ns/extensions/units#unit>")
string(REGEX MATCHALL "${unit} <[^>]*>" units "${triples}")
list(LENGTH units count)
string(REGEX MATCHALL "${unit} <http://lv2plug.in/ns/extensions/units#hz>" hertz "${triples}")
list(LENGTH hertz hertzCount)
string(REGEX MATCHALL "${unit} <http://lv2plug.in/ns/extensions/units#db>" decibels "${triples}")
list(LENGTH decibels decibelCount)
# Eleven number controls with a unit (the seed has none) and two meters on each plugin; Rate,
# Tone and LFO Rate in hertz, Drive, Output and the meters in decibels.
if(NOT status EQUAL 0 OR NOT count EQUAL 26 OR NOT hertzCount EQUAL 6 OR NOT decibelCount EQUAL 8)
  message(FATAL_ERROR "expected a unit on every number control of both plugins but the seed, "
    "Rate, Tone and LFO Rate in hertz, Drive and Output in decibels:\n${units}")
endif()
# Each library exports its descriptor function and nothing else (the window's, where built).
set(exports "qz-grindlet.so=lv2_descriptor")
if(EXISTS ${BUNDLE}/qz-grindlet-ui.so)
  list(APPEND exports "qz-grindlet-ui.so=lv2ui_descriptor")
endif()
foreach(entry ${exports})
  string(REPLACE "=" ";" pair "${entry}")
  list(GET pair 0 library)
  list(GET pair 1 descriptor)
  execute_process(COMMAND nm -D --defined-only ${BUNDLE}/${library} OUTPUT_VARIABLE symbols)
  string(REGEX REPLACE "[0-9a-f]+ [A-Za-z] " "" names "${symbols}")
  string(STRIP "${names}" names)
  if(NOT names STREQUAL descriptor)
    message(FATAL_ERROR "${library} exports more than ${descriptor}:\n${names}")
  endif()
endforeach()

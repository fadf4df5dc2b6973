# The ABI record of the deployed library (abidw of abigail-tools) under
# abi/, one per target: x86-64, and 32-bit ARM with 64-bit and with
# 32-bit time_t. The test library_abi fails on any change against it but
# added functions and variables; `cmake --build BUILD --target abi`
# writes the record anew, on purpose (README).
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(TANDEL_ABI_TARGET armhf)
  if(NOT TANDEL_TIME64)
    string(APPEND TANDEL_ABI_TARGET -time32)
  endif()
else()
  set(TANDEL_ABI_TARGET ${CMAKE_SYSTEM_PROCESSOR})
endif()
set(TANDEL_ABI_RECORD ${PROJECT_SOURCE_DIR}/abi/libTandelCntrl-${TANDEL_ABI_TARGET}.abi)
add_custom_target(abi COMMAND bash ${PROJECT_SOURCE_DIR}/tests/check_abi.sh record ${TANDEL_ABI_RECORD}
  $<TARGET_FILE:TandelCntrl> DEPENDS TandelCntrl COMMENT "Writing the ABI record ${TANDEL_ABI_RECORD}")

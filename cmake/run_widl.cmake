# Runs widl and fails on any diagnostic: widl reports some real errors (such as a changed
# identifier in the type library) only as warnings.
#   cmake -DWIDL=... -DARGS=<;-list> -P run_widl.cmake
execute_process(COMMAND ${WIDL} ${ARGS} RESULT_VARIABLE status OUTPUT_VARIABLE out
                ERROR_VARIABLE err)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "widl failed (${status}):\n${out}${err}")
endif()
if(NOT "${out}${err}" STREQUAL "")
    message(FATAL_ERROR "widl warnings are errors here:\n${out}${err}")
endif()

# Fails unless the plug-in exports exactly its five entry points and the four functions of its
# extension (plugin_ext.h).
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(names)
foreach(line IN LISTS lines)
    string(REGEX REPLACE "^.* " "" name "${line}")
    list(APPEND names ${name})
endforeach()
list(SORT names)
set(expected FenloExtVersion FenloGetBusStatus FenloGetMemberStatus FenloWaitForPoll
    SOXpSBuildDANameSpace SOXpSHandleDARequests SOXpSInitialize SOXpSStart SOXpSStop)
if(NOT names STREQUAL expected)
    message(FATAL_ERROR "exported: ${names}\nexpected: ${expected}")
endif()

# Checks DE30.dll's PE headers: it imports from Windows system DLLs only (the GCC
# runtime and libstdc++ must be linked in, or a station PC without mingw cannot
# load it), and it is not marked NO_SEH (Windows would then refuse to run the
# frame-based handlers the driver registers around the host's channel).
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE Headers RESULT_VARIABLE Result)
if(NOT Result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" Imports "${Headers}")
if(NOT Imports)
  message(FATAL_ERROR "no imports found in ${DLL}")
endif()
foreach(Import IN LISTS Imports)
  string(REPLACE "DLL Name: " "" Name "${Import}")
  string(TOLOWER "${Name}" Name)
  if(NOT Name MATCHES "^(kernel32|msvcrt|ntdll|user32|advapi32)\\.dll$")
    message(FATAL_ERROR "DE30.dll imports ${Name}, not a Windows system DLL")
  endif()
  message(STATUS "imports ${Name}")
endforeach()

if(NOT Headers MATCHES "DllCharacteristics[ \t]+([0-9a-fA-F]+)")
  message(FATAL_ERROR "no DllCharacteristics in ${DLL}")
endif()
math(EXPR NoSeh "0x${CMAKE_MATCH_1} & 0x400")
if(NOT NoSeh EQUAL 0)
  message(FATAL_ERROR "DE30.dll is marked NO_SEH")
endif()

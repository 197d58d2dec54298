# Warnings on and fatal for every target of the project.
function(de30_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
      -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Wunused -Woverloaded-virtual
      -Wnull-dereference -Wdouble-promotion -Wformat=2 -Werror)
    # GCC 12's optimiser reports overlapping copies inside std::string's operator+
    # ("literal" + std::to_string(n)) that cannot happen (GCC bug 105329), and a
    # memcmp bound beyond any object when std::map compares std::vector keys
    # (GCC bug 106199); release builds would stop on either.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
      target_compile_options(${target} PRIVATE -Wno-restrict -Wno-stringop-overread)
    endif()
  endif()
endfunction()

# cpp-httplib as Debian ships it: a compiled library with a pkg-config file only.
# Its flags (OpenSSL, zlib, brotli) must be ours too, or its classes differ in
# layout between our code and the library. One global target for de30d and de30ctl.
if(NOT TARGET PkgConfig::HTTPLIB)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET GLOBAL cpp-httplib>=0.11)
endif()
find_package(nlohmann_json 3 REQUIRED)

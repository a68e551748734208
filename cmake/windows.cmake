# The 64-bit Windows build, cross-compiled with MinGW-w64. The libraries are static builds in the
# prefix that scripts/windows-deps.sh fills; they are described here as the same imported
# targets the native build gets from find_package and pkg-config, so nothing else changes.

set(TOVRA_WINDOWS_PREFIX "$ENV{HOME}/.cache/tovra-win64/prefix" CACHE PATH
    "Prefix holding the cross-built static Windows libraries")
if(NOT EXISTS "${TOVRA_WINDOWS_PREFIX}/lib/libcrypto.a")
  message(FATAL_ERROR "No Windows libraries in ${TOVRA_WINDOWS_PREFIX}; run scripts/windows-deps.sh")
endif()

# Headers and libraries that Windows itself provides only through these definitions.
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 NOMINMAX UNICODE _UNICODE)
# g++ 12 reports false -Wrestrict overlaps in std::string concatenation at -O3 (GCC bug 105329).
add_compile_options(-Wno-restrict)
# One self-contained program: no MinGW runtime DLLs beside it.
add_link_options(-static -static-libgcc -static-libstdc++)

function(tovra_windows_library target file)
  cmake_parse_arguments(ARG "" "" "DEFINES;SYSTEM" ${ARGN})
  set(location "${TOVRA_WINDOWS_PREFIX}/lib/${file}")
  if(NOT EXISTS "${location}")
    message(FATAL_ERROR "Missing ${location}; run scripts/windows-deps.sh")
  endif()
  add_library(${target} STATIC IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES
    IMPORTED_LOCATION "${location}"
    INTERFACE_INCLUDE_DIRECTORIES "${TOVRA_WINDOWS_PREFIX}/include"
    INTERFACE_COMPILE_DEFINITIONS "${ARG_DEFINES}"
    INTERFACE_LINK_LIBRARIES "${ARG_SYSTEM}")
endfunction()

tovra_windows_library(OpenSSL::Crypto libcrypto.a SYSTEM ws2_32 gdi32 crypt32 bcrypt advapi32 user32)
tovra_windows_library(PkgConfig::ZSTD libzstd.a)
tovra_windows_library(PkgConfig::ARCHIVE libarchive.a DEFINES LIBARCHIVE_STATIC SYSTEM bcrypt advapi32)
tovra_windows_library(PkgConfig::CURL libcurl.a DEFINES CURL_STATICLIB SYSTEM ws2_32 bcrypt advapi32 crypt32)

add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${TOVRA_WINDOWS_PREFIX}/include")

# The win32 backend's system libraries, attached once the platform library exists.
function(tovra_windows_platform_links)
  target_link_libraries(tovra_platform PUBLIC advapi32 shell32 ole32 oleaut32 uuid propsys)
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL tovra_windows_platform_links)

# What a publisher hands to its users: a client that starts on machines that never
# installed its libraries, its man page and README, and a tar.gz of the three.
#
# Self-contained (the default): libsodium, PCRE2, libcrypto, libzstd and the C++ runtime are
# linked from static archives, so the client needs only the C library's own files
# and the libcurl it loads at start-up. TOLVEX_SHARED_LIBS=ON links the shared
# libraries instead, for distributions that package them. Sanitizer and fuzz builds link
# shared too: the sanitizer runtimes intercept the shared C++ runtime, and a static
# copy of it would slip past them.

include(GNUInstallDirs)

if(TOLVEX_SHARED_LIBS OR TOLVEX_SANITIZE OR TOLVEX_FUZZ)
  set(TOLVEX_SELF_CONTAINED OFF)
else()
  set(TOLVEX_SELF_CONTAINED ON)
endif()
message(STATUS "tolvex self-contained: ${TOLVEX_SELF_CONTAINED}")

# tolvex_use_static_archive(TARGET): the imported library TARGET links the static
# archive beside its shared library instead, and every executable that links it keeps
# the archive's symbols out of its dynamic symbol table. The libcurl loaded at run time
# brings its own libcrypto: neither copy may bind to the other's functions.
function(tolvex_use_static_archive target)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    set(property INTERFACE_LINK_LIBRARIES)
  else()
    set(property IMPORTED_LOCATION)
  endif()
  get_target_property(libraries ${target} ${property})
  set(linked)
  foreach(library IN LISTS libraries)
    if(library MATCHES "^(.*)\\.so$")
      set(archive "${CMAKE_MATCH_1}.a")
      if(NOT EXISTS "${archive}")
        message(FATAL_ERROR "${archive} is missing: a self-contained client links it. "
                            "Install the static library or configure with -DTOLVEX_SHARED_LIBS=ON.")
      endif()
      get_filename_component(name "${archive}" NAME)
      set_property(TARGET ${target} APPEND PROPERTY INTERFACE_LINK_OPTIONS "LINKER:--exclude-libs,${name}")
      set(library "${archive}")
    endif()
    list(APPEND linked "${library}")
  endforeach()
  set_property(TARGET ${target} PROPERTY ${property} "${linked}")
  # An archive records nothing of what it needs; libsodium and libcrypto need these.
  set_property(TARGET ${target} APPEND PROPERTY INTERFACE_LINK_LIBRARIES Threads::Threads ${CMAKE_DL_LIBS})
endfunction()

# tolvex_link_self_contained(TARGET): the executable TARGET also carries the C++ runtime
# and exports nothing of what it links statically.
function(tolvex_link_self_contained target)
  if(TOLVEX_SELF_CONTAINED)
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc LINKER:--exclude-libs,ALL)
  endif()
endfunction()

if(TOLVEX_SELF_CONTAINED)
  foreach(target OpenSSL::Crypto PkgConfig::SODIUM PkgConfig::PCRE2 PkgConfig::ZSTD)
    tolvex_use_static_archive(${target})
  endforeach()
endif()

install(FILES ${PROJECT_SOURCE_DIR}/docs/tolvex.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# `cmake --build build --target package` gives build/tolvex-VERSION-Linux-ARCH.tar.gz.
set(CPACK_GENERATOR TGZ)
set(CPACK_SYSTEM_NAME "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Keeps a directory identical to a signed tree served over HTTP(S)")
set(CPACK_STRIP_FILES ON)
include(CPack)

# SPDX-License-Identifier: MIT
# Glue for Wayland protocols, generated at build time and never committed.
#   pointrelay_wayland_protocol(TARGET XML...)
# runs wayland-scanner (found through pkg-config's wayland-scanner variable `wayland_scanner`)
# on each protocol description XML (relative paths start at the calling CMakeLists.txt), adds the
# generated `NAME-protocol.c` to TARGET and puts `NAME-client-protocol.h` on its private include
# path. Add a protocol's glue to one target only: the generated code defines its interfaces.
# POINTRELAY_WAYLAND_SCANNER is empty where wayland-scanner is not installed.
include_guard(GLOBAL)
find_package(PkgConfig REQUIRED)
pkg_get_variable(pointrelay_scanner wayland-scanner wayland_scanner)
# Cached: the guard above makes later includes (from other folders) skip this file.
set(POINTRELAY_WAYLAND_SCANNER "${pointrelay_scanner}" CACHE INTERNAL "wayland-scanner")

function(pointrelay_wayland_protocol target)
    if(NOT POINTRELAY_WAYLAND_SCANNER)
        message(FATAL_ERROR "pointrelay_wayland_protocol: wayland-scanner not found "
                            "(Debian: libwayland-dev)")
    endif()
    set(dir "${CMAKE_CURRENT_BINARY_DIR}/wayland-glue")
    file(MAKE_DIRECTORY "${dir}")
    foreach(xml IN LISTS ARGN)
        cmake_path(ABSOLUTE_PATH xml BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}")
        cmake_path(GET xml STEM LAST_ONLY name)
        set(header "${dir}/${name}-client-protocol.h")
        set(code "${dir}/${name}-protocol.c")
        add_custom_command(OUTPUT "${header}"
            COMMAND "${POINTRELAY_WAYLAND_SCANNER}" --strict client-header "${xml}" "${header}"
            DEPENDS "${xml}"
            COMMENT "Generating ${name}-client-protocol.h"
            VERBATIM)
        add_custom_command(OUTPUT "${code}"
            COMMAND "${POINTRELAY_WAYLAND_SCANNER}" --strict private-code "${xml}" "${code}"
            DEPENDS "${xml}"
            COMMENT "Generating ${name}-protocol.c"
            VERBATIM)
        target_sources(${target} PRIVATE "${header}" "${code}")
    endforeach()
    target_include_directories(${target} PRIVATE "${dir}")
endfunction()

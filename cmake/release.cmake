# The release build (QX_RELEASE): the sources and warnings of every build,
# plus what makes its files reproducible and keeps their debug information
# apart. ./qx dist builds it with the presets release-linux and
# release-win32 and packs the files.
#
# Reproducible: the same commit gives the same bytes in any folder at any
# time. No folder name reaches a file (the source and build folders are
# mapped away in debug information and __FILE__), the PE header carries no
# link time stamp, and the archives take their times from the commit
# (SOURCE_DATE_EPOCH, set by ./qx dist).

add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=
                    -ffile-prefix-map=${CMAKE_BINARY_DIR}/=)
if(WIN32)
  add_link_options(-Wl,--no-insert-timestamp)
endif()
# The tools ship stripped; only the client keeps its debug file.
string(APPEND CMAKE_EXE_LINKER_FLAGS " -s")

if(NOT CMAKE_OBJCOPY)
  message(FATAL_ERROR "The release build needs objcopy for ${CMAKE_SYSTEM_NAME}")
endif()

# qx_release_library(target): after each link, moves the debug information
# of the library into <file name>.debug beside it (libqxcl.so.debug,
# qxcl.dll.debug), strips the library and links it to that file with a
# debug link (its name and CRC), where debuggers look for it.
function(qx_release_library target)
  set(file "$<TARGET_FILE:${target}>")
  set(debug_name
      "$<TARGET_FILE_PREFIX:${target}>$<TARGET_FILE_BASE_NAME:${target}>$<TARGET_FILE_SUFFIX:${target}>.debug")
  # objcopy writes a new PE header, with the time from SOURCE_DATE_EPOCH
  # when it is set (else the time of day): 0 keeps the header free of one.
  set(objcopy ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 ${CMAKE_OBJCOPY})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${objcopy} --only-keep-debug ${file} ${debug_name}
    COMMAND ${objcopy} --strip-debug --strip-unneeded
            --add-gnu-debuglink=${debug_name} ${file}
    WORKING_DIRECTORY "$<TARGET_FILE_DIR:${target}>"
    COMMENT "Keeping the debug information of ${target} apart"
    VERBATIM)
  if(NOT WIN32)
    # A versioned SONAME (libqxcl.so.1): the entry points ca and cb keep
    # their contract within a major version.
    set_target_properties(${target} PROPERTIES
      VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  endif()
endfunction()

# macOS only: Objective-C++ under ARC for the bindings, and code signing
# with the hardened runtime after every link and again after install (an
# install-time rpath change would break the signature).
#
# MIRVO_CODESIGN_IDENTITY: "-" signs ad hoc; a certificate's name or hash
# signs with that identity.
include_guard(GLOBAL)

set(MIRVO_CODESIGN_IDENTITY "-" CACHE STRING
    "codesign identity for the deliverables (\"-\" = ad hoc)")
find_program(MIRVO_CODESIGN codesign REQUIRED)

# The bindings' Objective-C++ sources of `target` are compiled under ARC.
function(mirvo_objc_arc target)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:OBJCXX>:-fobjc-arc>)
  set_target_properties(${target} PROPERTIES OBJCXX_VISIBILITY_PRESET hidden)
endfunction()

# mirvo_codesign(<target> IDENTIFIER <id> [ENTITLEMENTS <plist>] [DESTINATION <dir>])
# Signs the target's file after each build and, when DESTINATION is given,
# the installed copy under CMAKE_INSTALL_PREFIX/<dir>.
function(mirvo_codesign target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "IDENTIFIER;ENTITLEMENTS;DESTINATION" "")
  set(command "${MIRVO_CODESIGN}" --force --sign "${MIRVO_CODESIGN_IDENTITY}"
      --options runtime)
  if(arg_ENTITLEMENTS)
    list(APPEND command --entitlements "${arg_ENTITLEMENTS}")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${arg_ENTITLEMENTS}")
  endif()
  list(APPEND command -i "${arg_IDENTIFIER}")
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${command} "$<TARGET_FILE:${target}>"
    COMMENT "Signing ${target} as ${arg_IDENTIFIER}"
    VERBATIM)
  if(arg_DESTINATION)
    list(JOIN command "\" \"" quoted)
    install(CODE "
      execute_process(
        COMMAND \"${quoted}\"
                \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${arg_DESTINATION}/$<TARGET_FILE_NAME:${target}>\"
        RESULT_VARIABLE status)
      if(NOT status EQUAL 0)
        message(FATAL_ERROR \"codesign of the installed ${target} failed\")
      endif()")
  endif()
endfunction()

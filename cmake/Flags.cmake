# Compiler settings shared by every target of the project.

function(halvern_target_flags target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /fp:precise)
    if(HALVERN_WERROR)
      target_compile_options(${target} PRIVATE /WX)
    endif()
    return()
  endif()
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
                                           $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>
                                           -Wno-missing-field-initializers)
  # Conversions are defined to the bit with separate multiply and add: never let the compiler
  # fuse them, on any target or optimisation level.
  target_compile_options(${target} PRIVATE -ffp-contract=off)
  if(HALVERN_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  if(HALVERN_SANITIZE STREQUAL "address")
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer
                                             -fno-sanitize-recover=undefined)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  elseif(HALVERN_SANITIZE STREQUAL "thread")
    target_compile_options(${target} PRIVATE -fsanitize=thread -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=thread)
  endif()
  if(MINGW)
    # The SDK's COM interfaces have public non-virtual destructors (objects die through Release), so
    # every class implementing one would warn. Our own interface declarations keep theirs protected,
    # which the Linux builds still check.
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-Wno-non-virtual-dtor>)
    # Symbols the Wine debugger tools can read; a self-contained binary (KERNEL32, msvcrt, ole32).
    target_compile_options(${target} PRIVATE -gdwarf-4)
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
  endif()
endfunction()

# The header-only dependencies come from Debian's /usr/include. Adding that
# folder to the MinGW compiler's search path would drag in glibc headers, so the
# Windows tree sees a folder of links to just these libraries' headers.
function(vorn_header_links out_dir)
  file(MAKE_DIRECTORY ${out_dir})
  foreach(entry asio asio.hpp nlohmann fmt)
    if(NOT EXISTS /usr/include/${entry})
      message(FATAL_ERROR "missing /usr/include/${entry}: run scripts/setup.sh")
    endif()
    file(CREATE_LINK /usr/include/${entry} ${out_dir}/${entry} SYMBOLIC)
  endforeach()
endfunction()

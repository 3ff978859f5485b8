# The service address is compiled in; a missing or malformed one must stop the build, not the first request.
function(quillora_check_service_url url)
    if(url STREQUAL "")
        message(FATAL_ERROR "QUILLORA_SERVICE_URL is empty: set it to the explanation service's https:// address")
    endif()
    if(NOT url MATCHES "^https?://[A-Za-z0-9._~-]+(:[0-9]+)?(/[^ \t]*)?$")
        message(FATAL_ERROR "QUILLORA_SERVICE_URL '${url}' is not a valid http(s) URL")
    endif()
    # The user's text never crosses a network in clear: http:// only for a service on this computer.
    if(url MATCHES "^http://" AND NOT url MATCHES "^http://(127\\.[0-9.]+|localhost|\\[::1\\])(:[0-9]+)?(/|$)")
        message(FATAL_ERROR "QUILLORA_SERVICE_URL '${url}' must use https:// unless it is on this computer")
    endif()
endfunction()

# Generates a source file that defines the compiled-in service address and token. Each executable
# compiles its own copy, so a test build can point the real program at a local stub service.
function(quillora_add_service_config target url token)
    quillora_check_service_url("${url}")
    set(QUILLORA_CONFIG_URL "${url}")
    set(QUILLORA_CONFIG_TOKEN "${token}")
    set(out "${CMAKE_CURRENT_BINARY_DIR}/${target}_builtinservice.cpp")
    configure_file("${PROJECT_SOURCE_DIR}/src/app/builtinservice.cpp.in" "${out}" @ONLY)
    target_sources(${target} PRIVATE "${out}")
endfunction()

# cmake -DURL=<url> -P CheckServiceUrl.cmake: fails exactly when the build would refuse that service address.
include(${CMAKE_CURRENT_LIST_DIR}/ServiceConfig.cmake)
quillora_check_service_url("${URL}")

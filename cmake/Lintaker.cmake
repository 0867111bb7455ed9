# Build helpers shared by every folder.

# Our own code is built with every warning as an error; third-party headers come in as SYSTEM.
function(lintaker_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# lintaker_library(<target> [QT] DEPS <targets...>)
# One static library per folder, made of every .cpp in it (subfolders excluded). A folder
# that holds only headers so far becomes an INTERFACE library.
function(lintaker_library target)
    cmake_parse_arguments(ARG "QT" "" "DEPS" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
    if(sources)
        add_library(${target} STATIC ${sources})
        target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
        target_link_libraries(${target} PUBLIC ${ARG_DEPS})
        lintaker_warnings(${target})
        if(ARG_QT)
            set_target_properties(${target} PROPERTIES AUTOMOC ON AUTORCC ON AUTOUIC OFF)
        endif()
    else()
        add_library(${target} INTERFACE)
        target_include_directories(${target} INTERFACE ${PROJECT_SOURCE_DIR})
        target_link_libraries(${target} INTERFACE ${ARG_DEPS})
    endif()
endfunction()

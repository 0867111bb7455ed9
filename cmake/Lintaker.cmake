# Build helpers shared by every folder.

# Our own code is built with every warning as an error; third-party headers come in as SYSTEM.
# With LINTAKER_CHECK_LOCKS clang's thread-safety analysis joins them, its lock-order checks
# (-beta) included.
set(lintaker_lock_checks -Wthread-safety -Wthread-safety-beta)
function(lintaker_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
    if(LINTAKER_CHECK_LOCKS)
        target_compile_options(${target} PRIVATE ${lintaker_lock_checks})
    endif()
endfunction()

# Builds a method body against a guarded field and two ordered locks with the lock checks; fails
# the configuration unless it builds exactly when `expected` (TRUE or FALSE) says so.
function(lintaker_lock_case name expected body)
    set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
    set(dir ${CMAKE_BINARY_DIR}/lock-analysis)
    file(WRITE ${dir}/${name}.cpp
         "#include \"serial/dispatch/ReentrantLock.h\"\n"
         "struct TCheck {\n"
         "    TReentrantLock First ACQUIRED_BEFORE(Second);\n"
         "    TReentrantLock Second;\n"
         "    int Value GUARDED_BY(First) = 0;\n"
         "    void Run() { ${body} }\n"
         "};\n")
    try_compile(lintaker_lock_${name} ${dir}/${name} SOURCES ${dir}/${name}.cpp
                COMPILE_DEFINITIONS -Werror ${lintaker_lock_checks}
                CMAKE_FLAGS "-DINCLUDE_DIRECTORIES=${PROJECT_SOURCE_DIR}"
                CXX_STANDARD 20 OUTPUT_VARIABLE output)
    if(NOT lintaker_lock_${name} STREQUAL expected)
        message(FATAL_ERROR "The lock analysis is not working: \"${body}\" built: ${lintaker_lock_${name}}\n"
                            "${output}")
    endif()
endfunction()

# A build whose analysis does not run would pass on any code (annotation macros that expand to
# nothing, flags this clang ignores): it first has to accept a guarded field written under its
# lock, and refuse it written without, and two locks taken against their order.
function(lintaker_check_lock_analysis)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "LINTAKER_CHECK_LOCKS needs clang (use the preset \"thread-safety\")")
    endif()
    lintaker_lock_case(locked TRUE "TLockGuard guard(First); Value = 1;")
    lintaker_lock_case(unlocked FALSE "Value = 1;")
    lintaker_lock_case(order FALSE "TLockGuard second(Second); TLockGuard first(First);")
    message(STATUS "The lock analysis refuses unguarded and misordered locking")
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

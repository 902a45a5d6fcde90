# The device model on its own (both lanes), hosted behind the fake link and driven by the
# real bootloader commands (both lanes), and zuva-devsim over a real pty (Linux).
zuva_add_gtest(test_devsim_model
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/unit/test_devsim_model.cpp
    LIBS zuva_devsim_model
    LABELS unit)

if(TARGET zuva_fake_serial AND TARGET zuva_fake_device)
    zuva_add_gtest(test_devsim_fake
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/unit/test_devsim_fake.cpp
        LIBS zuva_fake_device zuva_link zuva_fake_serial
        LABELS device)
endif()

if(NOT WIN32)
    zuva_add_gtest(test_devsim_pty
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/e2e/test_devsim_pty.cpp
        LABELS e2e)
    target_compile_definitions(test_devsim_pty PRIVATE ZUVA_DEVSIM="$<TARGET_FILE:zuva-devsim>")
    add_dependencies(test_devsim_pty zuva-devsim)
endif()

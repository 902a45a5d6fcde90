# The command-line tools as a user meets them (Linux): the conventions they share.
if(NOT CMAKE_CROSSCOMPILING AND TARGET zuva-devsim AND TARGET zuva-pack)
    add_test(NAME tools_agree
        COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/e2e/test_tools_agree.sh
                ${CMAKE_BINARY_DIR} ${PROJECT_VERSION})
    set_tests_properties(tools_agree PROPERTIES LABELS e2e TIMEOUT 60)
endif()

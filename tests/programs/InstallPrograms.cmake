# The installer tests install the user-mode test service program as a driver
# package's service, from the folder of dd_install_tests.exe.

# The test program is defined after this file is read.
cmake_language(DEFER CALL add_dependencies dd_install_tests dd_test_service)

morvex_add_test(KernelTests
    SOURCES CommandLineTests.cpp
    DEPS MorvexKernel)

morvex_add_test(VideoOutputTests
    SOURCES VideoOutput/VideoOutputTests.cpp VideoOutput/VideoOutput_LinuxTests.cpp
    DEPS MorvexKernel MorvexTestSupport)
# The monitor test runs a private X server with the dialog tests' helper when the dialog is built.
if(TARGET CrashReporterDialog)
    target_link_libraries(VideoOutputTests PRIVATE DialogTestSupport)
    target_compile_definitions(VideoOutputTests PRIVATE MX_HAVE_XSERVER=1)
else()
    target_compile_definitions(VideoOutputTests PRIVATE MX_HAVE_XSERVER=0)
endif()

// main() of the Windows tests. Besides running them, it fails every test
// during which the program under test (this process, or any program it
// started) made a call that Windows refuses: see tests/strict.
#include <gtest/gtest.h>

#include "tovrin_test_support.h"

namespace {

class strict_breach_check : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo &) override
    {
        EXPECT_EQ("", tvt::take_strict_breaches())
            << "calls that Windows refuses (lines of the strict breach log)";
    }
};

} // namespace

int wmain(int argc, wchar_t **argv)
{
    wchar_t module[MAX_PATH];
    DWORD n = GetModuleFileNameW(NULL, module, MAX_PATH);
    const wchar_t *name = n > 0 && n < MAX_PATH ? wcsrchr(module, L'\\') : NULL;
    tvt::use_own_strict_log(name ? name + 1 : L"test");
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new strict_breach_check);
    return RUN_ALL_TESTS();
}

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/CustomActionData.h"
#include "tables/encoding/ListKeyCheck.h"
#include "frame/Exception.h"

TEST(ListKeyCheck, FindsTheSeparatorsOfTheIdsOwnLevel) {
    const struct {
        std::wstring id;
        setup::Separators level;
        wchar_t found;
    } cases[] = {
        {L"Pkg.1", setup::separators::List, L'\0'},
        {L"a;b", setup::separators::List, L';'},
        {L"a*b", setup::separators::List, L'*'},
        {L"a|b>c<d)e(f", setup::separators::List, L'\0'},  // separators of other levels are escaped
        {L"reg>1", setup::separators::RegistryList, L'>'},
        {L"reg<1", setup::separators::RegistryList, L'<'},
        {L"reg;*|1", setup::separators::RegistryList, L'\0'},
        {L"", setup::separators::List, L'\0'},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(c.found, setup::FindListSeparator(c.id, c.level));
    }
}

TEST(ListKeyCheck, RejectsTheRowWithACodeAndItsName) {
    EXPECT_NO_THROW(setup::ValidateListKey(L"DriverPackage", L"Pkg_1", setup::separators::List));
    try {
        setup::ValidateListKey(L"DriverUpperFilter", L"flt>1", setup::separators::RegistryList);
        FAIL() << "no exception";
    } catch (const setup::Exception& e) {
        EXPECT_EQ(static_cast<int32_t>(0x8007000D), e.Code());
        EXPECT_EQ(L"Failed to validate the DriverUpperFilter row 'flt>1'. Its key contains the reserved character '>'.",
                  e.Message());
    }
}

// Why such ids are rejected: written unescaped as list keys they cut the
// list apart, and the deferred action would get records nobody wrote.
TEST(ListKeyCheck, AnIdWithItsListSeparatorWouldCorruptTheList) {
    const setup::CryptCatalogRecord bad{L"a;z", L"n1", L"p1", L"c", L""};
    const setup::CryptCatalogRecord good{L"b", L"n2", L"p2", L"c", L""};
    const auto decoded = setup::DecodeCryptCatalogs(setup::EncodeCryptCatalogs({bad, good}));
    ASSERT_EQ(3u, decoded.size());
    EXPECT_EQ(setup::CryptCatalogRecord{}, decoded[0]);
    EXPECT_EQ(L';', setup::FindListSeparator(bad.id, setup::separators::List));

    const setup::CryptCatalogRecord sound{L"a_z", L"n1", L"p1", L"c", L""};
    EXPECT_EQ((std::vector<setup::CryptCatalogRecord>{sound, good}),
              setup::DecodeCryptCatalogs(setup::EncodeCryptCatalogs({good, sound})));
}

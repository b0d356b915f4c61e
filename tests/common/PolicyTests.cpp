// The Group Policy template against the settings contract: every setting has one machine policy
// below the policy key the product reads first, with the same value name and range, and the same
// default in each language's presentation; every text the template names exists in each language.
#include "CSettings.h"
#include "CUpsConfig.h"
#include "TestLog.h"
#include "TestProcess.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using namespace testsupport;

namespace {

// The text of the first element that starts with `open` in text[from, to), up to its ">".
std::string Element(const std::string& text, const std::string& open, size_t from = 0,
                    size_t to = std::string::npos)
{
    const size_t at = text.find(open, from);
    if (at == std::string::npos || (to != std::string::npos && at >= to)) return "";
    return text.substr(at, text.find('>', at) - at);
}

std::string Attribute(const std::string& element, const std::string& name)
{
    const std::string key = " " + name + "=\"";
    const size_t at = element.find(key);
    if (at == std::string::npos) return "<none>";
    const size_t begin = at + key.size();
    return element.substr(begin, element.find('"', begin) - begin);
}

std::string Narrow(const wchar_t* text)
{
    return std::string(text, text + wcslen(text));  // the names are ASCII
}

// Every "$(kind.id)" reference of the template.
std::vector<std::pair<std::string, std::string>> References(const std::string& admx)
{
    std::vector<std::pair<std::string, std::string>> refs;
    for (size_t at = admx.find("$("); at != std::string::npos; at = admx.find("$(", at + 2)) {
        const size_t dot = admx.find('.', at), end = admx.find(')', at);
        refs.emplace_back(admx.substr(at + 2, dot - at - 2), admx.substr(dot + 1, end - dot - 1));
    }
    return refs;
}

const char* const kLanguages[] = { "en-US", "ja-JP" };

// The settings that are text: the network UPS and its user (never its password, which every user
// could read in the policy key). The longest text the policy editor accepts must fit the service's
// buffer, or the value would fail to read as a whole.
struct TextPolicy {
    const char* name;
    size_t maxLength;
};
const TextPolicy kTextPolicies[] = {
    { "UpsMonitor", UPSCONFIG_MONITOR_CHARS - 1 },
    { "UpsUser", UPSCONFIG_CREDENTIAL_CHARS - 1 },
};
const size_t kPolicyCount = SETTING_COUNT + ARRAYSIZE(kTextPolicies);

}  // namespace

TEST(PolicyTemplate, EverySettingOnceWithItsKeyValueNameRangeAndDefault)
{
    const std::string admx = ReadFileBytes(ProgramPath(L"policy\\OrvaneMirel.admx"));
    ASSERT_FALSE(admx.empty());
    size_t policies = 0;
    for (size_t at = admx.find("<policy "); at != std::string::npos; at = admx.find("<policy ", at + 1)) ++policies;
    EXPECT_EQ(kPolicyCount, policies) << "one policy per setting, none else";
    EXPECT_EQ(std::string::npos, admx.find("UpsPassword"));
    for (const TextPolicy& text : kTextPolicies) {
        SCOPED_TRACE(text.name);
        const std::string policy = Element(admx, "<policy name=\"" + std::string(text.name) + "\"");
        ASSERT_FALSE(policy.empty());
        EXPECT_EQ(Narrow(MIREL_POLICY_KEY), Attribute(policy, "key"));
        const size_t body = admx.find(policy);
        const std::string element = Element(admx, "<text ", body, admx.find("</policy>", body));
        EXPECT_EQ(text.name, Attribute(element, "valueName"));
        EXPECT_EQ(std::to_string(text.maxLength), Attribute(element, "maxLength"));
        for (const char* language : kLanguages) {
            const std::string adml = ReadFileBytes(ProgramPath(L"policy\\") +
                                                   std::wstring(language, language + 5) + L"\\OrvaneMirel.adml");
            EXPECT_FALSE(Element(adml, "<textBox refId=\"" + std::string(text.name) + "\"").empty()) << language;
        }
    }

    for (DWORD i = 0; i < SETTING_COUNT; ++i) {
        const SETTINGDEF* def = CSettings::Definition(i);
        const std::string name = Narrow(def->lpszName);
        SCOPED_TRACE(name);
        const std::string policy = Element(admx, "<policy name=\"" + name + "\"");
        ASSERT_FALSE(policy.empty());
        EXPECT_EQ(Narrow(MIREL_POLICY_KEY), Attribute(policy, "key"));
        EXPECT_EQ("Machine", Attribute(policy, "class"));
        const size_t body = admx.find(policy);
        const std::string decimal = Element(admx, "<decimal ", body, admx.find("</policy>", body));
        EXPECT_EQ(name, Attribute(decimal, "valueName"));
        EXPECT_EQ(std::to_string(def->dwMin), Attribute(decimal, "minValue"));
        EXPECT_EQ(std::to_string(def->dwMax), Attribute(decimal, "maxValue"));
        for (const char* language : kLanguages) {
            const std::string adml = ReadFileBytes(ProgramPath(L"policy\\") +
                                                   std::wstring(language, language + 5) + L"\\OrvaneMirel.adml");
            const std::string box = Element(adml, "<decimalTextBox refId=\"" + name + "\"");
            EXPECT_EQ(std::to_string(def->dwDefault), Attribute(box, "defaultValue")) << language;
        }
    }
}

// A name the template uses but a language lacks makes the policy editor refuse the whole file.
TEST(PolicyTemplate, EveryTextItNamesExistsInEachLanguage)
{
    const std::string admx = ReadFileBytes(ProgramPath(L"policy\\OrvaneMirel.admx"));
    const auto refs = References(admx);
    EXPECT_EQ(2 + 3 * kPolicyCount, refs.size());
    for (const char* language : kLanguages) {
        const std::string adml = ReadFileBytes(ProgramPath(L"policy\\") +
                                               std::wstring(language, language + 5) + L"\\OrvaneMirel.adml");
        ASSERT_FALSE(adml.empty()) << language;
        for (const auto& ref : refs) {
            const std::string open = "<" + ref.first + " id=\"" + ref.second + "\"";
            EXPECT_NE(std::string::npos, adml.find(open)) << language << ": " << open;
        }
    }
}

// A USB adapter's driver and latency timer as the Windows discovery reads them from the
// devices' registry keys, here a regedit export of a machine (fixtures/windows.reg).
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "transport/windows_device_ids.h"

namespace {

// The keys and values of a .reg file: REG_SZ ("text") and REG_DWORD (dword:hex) values.
class RegFile : public DeviceRegistry {
public:
    explicit RegFile(const std::string& path)
    {
        std::ifstream in(path);
        EXPECT_TRUE(in) << path;
        std::string key;
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.size() > 2 && line.front() == '[') {
                key = line.substr(1, line.size() - 2);
                key.erase(0, key.find('\\') + 1);  // below HKEY_LOCAL_MACHINE
            } else if (line.size() > 2 && line.front() == '"') {
                const size_t close = line.find("\"=");
                EXPECT_NE(close, std::string::npos) << line;
                if (close != std::string::npos)
                    values_[key + "|" + line.substr(1, close - 1)] = line.substr(close + 2);
            }
        }
    }
    std::optional<uint32_t> dword(const std::string& key, const std::string& name) const override
    {
        const std::string v = value(key, name);
        if (v.rfind("dword:", 0) != 0)
            return std::nullopt;
        return static_cast<uint32_t>(std::stoul(v.substr(6), nullptr, 16));
    }
    std::string text(const std::string& key, const std::string& name) const override
    {
        const std::string v = value(key, name);
        return v.size() >= 2 && v.front() == '"' ? v.substr(1, v.size() - 2) : std::string();
    }

private:
    std::string value(const std::string& key, const std::string& name) const
    {
        const auto it = values_.find(key + "|" + name);
        return it == values_.end() ? std::string() : it->second;
    }
    std::map<std::string, std::string> values_;
};

std::string facts(const DeviceRegistry& registry, const std::string& instance)
{
    const AdapterRegistryFacts f = adapterFactsFromRegistry(registry, instance);
    return f.driver + " " + (f.latencyTimerMs ? std::to_string(*f.latencyTimerMs) + " ms" : "no timer");
}

}  // namespace

TEST(WindowsAdapterFacts, DriverAndLatencyTimerFromTheDeviceKeys)
{
    const RegFile machine(std::string(TARVOLO_PORTS_FIXTURES) + "/windows.reg");
    EXPECT_EQ(facts(machine, "FTDIBUS\\VID_0403+PID_6001+A1B2C3A\\0000"), "FTSER2K 16 ms");
    EXPECT_EQ(facts(machine, "FTDIBUS\\VID_0403+PID_6001+A5XK3RJTA\\0000"), "FTSER2K 1 ms");
    EXPECT_EQ(facts(machine, "USB\\VID_1A86&PID_7523\\5&2F7B2B3C&0&2"), "CH341SER_A64 no timer");
    EXPECT_EQ(facts(machine, "USB\\VID_0483&PID_5740\\3868345A3233"), " no timer");  // not in the registry
}

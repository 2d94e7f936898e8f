// The station's own Chinese texts of the keyed messages. They follow the glossary of the fixed
// texts (fixed_texts.cpp): 裝置/设备 for device, 磁碟/碟 for disk, 檔案/档案 for file, 固件 for
// firmware, 壞塊掃描/坏块扫描 for the blanking check, "Flash" and other Latin names kept as they
// are. Every text stays within Big5 (Traditional) and GBK (Simplified), the code pages lang.ini
// holds them in.

#include "station/station_lang_texts.h"

#include <array>

namespace corvid {

namespace {

using K = MessageKey;

constexpr std::array<StationLangText, kKeyedMessageCount> kTexts{{
    {K::TitleStr, "MP3量產工具", "MP3量产工具"},
    {K::PageStr, "量產", "量产"},
    {K::DeviceStr, "裝置", "设备"},
    {K::LabelStr, "磁碟標籤", "磁碟卷标"},
    {K::SysPreCopyStr, "系統檔案及預複製檔案:", "系统档案及预复制档案:"},
    {K::FormatStr, "格式化", "格式化"},
    {K::AddFileStr, "加入檔案", "添加档案"},
    {K::RemoveStr, "移除", "移除"},
    {K::LogStr, "記錄", "记录"},
    {K::SelectFileStr, "選擇檔案", "选择档案"},
    {K::StatusMsg, "狀態", "状态"},
    {K::SuccessMsg, "成功", "成功"},
    {K::FailMsg, "失敗", "失败"},
    {K::ExceedLimitMsg, "超過裝置數量上限！", "超过设备数量上限！"},
    {K::BadBlockStr, "壞塊檢查", "坏块检查"},
    {K::TotalMsg, "總數", "总数"},
    {K::WaitDeviceMsg, "等待裝置...", "等待设备..."},
    {K::CopyFileMsg, "複製檔案", "复制档案"},
    {K::ChkdskMsg, "檢查磁碟", "检查磁碟"},
    {K::SettingMsg, "設定", "设置"},
    {K::FILEWriteStr, "檔案寫入中", "档案写入中"},
    {K::BlankingCheckStr, "壞塊掃描", "坏块扫描"},
    {K::RealBlankingCheckStr, "壞塊掃描", "坏块扫描"},
    {K::ProgramWriteStr, "程式寫入中", "程序写入中"},
    {K::ProgramWriteEndStr, "程式寫入結束", "程序写入结束"},
    {K::ProgramWriteSetupStr, "程式寫入設定", "程序写入设置"},
    {K::PreferWriteStr, "Prefer寫入中", "Prefer写入中"},
    {K::PreferWriteEndStr, "Prefer寫入結束", "Prefer写入结束"},
    {K::PreferWriteSetupStr, "Prefer寫入設定", "Prefer写入设置"},
    {K::ISOWriteStr, "ISO寫入中", "ISO写入中"},
    {K::ISOWriteEndStr, "ISO寫入結束", "ISO写入结束"},
    {K::ISOWriteSetupStr, "ISO寫入設定", "ISO写入设置"},
    // Like the English text, the same as PassWriteSetupStr.
    {K::PassWriteStr, "PASS寫入設定", "PASS写入设置"},
    {K::PassWriteEndStr, "PASS寫入結束", "PASS写入结束"},
    {K::PassWriteSetupStr, "PASS寫入設定", "PASS写入设置"},
    {K::StringReset, "重置", "复位"},
    {K::FSMWrite, "FSM寫入中", "FSM写入中"},
    {K::VirtualCDROMStr, "虛擬光碟", "虚拟光驱"},
    {K::FlashBrandStr, "Flash品牌", "Flash品牌"},
    {K::FlashSerialStr, "Flash型號", "Flash型号"},
    {K::FlashEraseStr, "抹除Flash", "擦除Flash"},
    {K::MenuUpgradeStr, "手動升級模式", "手动升级模式"},
    {K::MenuUpgradeStartStr, "開始升級", "开始升级"},
    {K::DevicePluginStr, "裝置已插入", "设备已插入"},
    {K::BarFixedStr, "進度列固定", "进度条固定"},
    {K::SystemAreaSizeStr, "系統區大小", "系统区大小"},
    {K::SetLabelStr, "設定磁碟標籤", "设置磁碟卷标"},
    {K::FlashCheckStr, "Flash檢查", "Flash检查"},
    {K::FwParityCheckStr, "固件校驗", "固件校验"},
    {K::FwUpgradeStr, "固件升級", "固件升级"},
    {K::FixSystemAreaSizeStr, "固定系統區大小", "固定系统区大小"},
    {K::UnresetMsg, "未重置的裝置", "未复位的设备"},
    {K::HubPortExeccdStr, "超過USB埠數限制", "超过USB端口限制"},
    {K::ApplyStr, "套用", "应用"},
    {K::CancelStr, "取消", "取消"},
    {K::FactorSetStr, "工廠設定", "工厂设置"},
    {K::ModuleNoStr, "Flash模組數", "Flash模块数"},
    {K::AdvanceStr, "進階", "高级"},
    {K::ProcessStatusStr, "處理狀態", "处理状态"},
    {K::BadBlockWarningStr, "請執行壞塊掃描", "请执行坏块扫描"},
    {K::ChangeDiskStr, "切換至隱藏碟", "切换至隐藏碟"},
    {K::HiddenDiskStr, "隱藏碟", "隐藏碟"},
}};

constexpr bool inKeyOrder() {
    for (std::size_t i = 0; i < kTexts.size(); ++i) {
        if (static_cast<std::size_t>(kTexts[i].key) != i) {
            return false;
        }
    }
    return true;
}
static_assert(inKeyOrder(), "the texts must follow the order of the keyed messages");

}  // namespace

std::span<const StationLangText> stationLangTexts() {
    return kTexts;
}

std::string_view stationLangText(MessageKey key, int language) {
    const auto index = static_cast<std::size_t>(key);
    if (index >= kTexts.size()) {
        return messageDefault(key);
    }
    switch (language) {
        case kLanguageTraditionalChinese:
            return kTexts[index].traditional;
        case kLanguageSimplifiedChinese:
            return kTexts[index].simplified;
        default:
            return messageDefault(key);
    }
}

}  // namespace corvid

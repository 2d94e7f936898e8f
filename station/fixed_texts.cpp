// The built-in texts in English, Traditional Chinese (Taiwan) and Simplified Chinese (PRC).
// Chinese columns are UTF-8 here and must stay within Big5 and GBK respectively, the code pages
// lang.ini and the Windows build show them in. Terms follow one glossary across rows: 磁碟/碟 for
// disk, 檔案/档案 for file, 固件 for firmware, 壞塊/坏块 for bad block, 映像檔/镜像档 for image
// file, "Flash" and "CFG" kept in Latin letters.

#include <array>

#include "station/messages.h"

namespace corvid {

namespace {

using Row = std::array<std::string_view, kLanguageCount>;

constexpr std::array<Row, kFixedTextRows> kFixedTexts{{
    /* 0 */ {"Blank Check", "壞塊掃描", "坏块扫描"},
    /* 1 */ {"Scan Level", "掃描等級", "扫描等级"},
    /* 2 */ {"Page Skip", "跳頁數", "跳页数"},
    /* 3 */ {"Permit ECC", "容許ECC", "容许ECC"},
    /* 4 */ {"Apply", "套用", "应用"},
    /* 5 */ {"Cancel", "取消", "取消"},
    /* 6 */ {"Factory Setting", "工廠設定", "工厂设置"},
    /* 7 */ {"Flash Setting", "Flash設定", "Flash设置"},
    /* 8 */ {"Flash Module No", "Flash模組數", "Flash模块数"},
    // The label is narrow; the Chinese texts wrap onto a second line.
    /* 9 */ {"Bad block rate threshold", "壞塊比率\n門檻值", "坏块比率\n阈值"},
    /* 10 */ {"Save", "儲存", "保存"},
    /* 11 */ {"Load", "載入", "加载"},
    /* 12 */ {"Device Setting", "裝置設定", "设备设置"},
    /* 13 */ {"Disk split", "磁碟分區", "磁碟分区"},
    /* 14 */ {"Normal", "一般碟", "一般碟"},
    /* 15 */ {"Encrypted disk", "加密碟", "加密碟"},
    /* 16 */ {"Hidden disk", "隱藏碟", "隐藏碟"},
    /* 17 */ {"Hidden or Encrypt Disk", "隱藏碟或加密碟", "隐藏碟或加密碟"},
    /* 18 */ {"Disk ratio", "磁碟比例", "磁碟比例"},
    /* 19 */ {"Hidden Files", "隱藏檔案", "隐藏档案"},
    /* 20 */ {"Add Files", "加入檔案", "添加档案"},
    /* 21 */ {"Add Dir", "加入資料夾", "添加目录"},
    /* 22 */ {"Remove", "移除", "移除"},
    /* 23 */ {"Disk Label", "磁碟標籤", "磁碟卷标"},
    /* 24 */ {"nonlegal mulitplier", "容量倍數不合法", "容量倍数不合法"},
    /* 25 */ {"Firmware file not found", "找不到固件檔(program.bin)", "找不到固件档(program.bin)"},
    /* 26 */ {"Warning", "警告", "警告"},
    /* 27 */
    {"Skip page mode may couse flash unstable!", "跳頁模式可能造成Flash不穩定！",
     "跳页模式可能造成Flash不稳定！"},
    /* 28 */ {"Disk Size Error", "磁碟容量錯誤", "磁碟容量错误"},
    /* 29 */ {"Get BadRate Error", "取得壞塊比率錯誤", "获取坏块比率错误"},
    /* 30 */ {"Sec", "秒", "秒"},
    /* 31 */ {"Start Disk", "啟動磁碟", "启动磁碟"},
    /* 32 */ {"Write CFG", "寫入CFG", "写入CFG"},
    /* 33 */ {"Readback CFG", "回讀CFG", "回读CFG"},
    /* 34 */ {"Compare CFG", "比對CFG", "比对CFG"},
    // Rows 35 and 36 are appended to other texts, hence the leading blank.
    /* 35 */ {" Setup", " 設定", " 设置"},
    /* 36 */ {" End", " 結束", " 结束"},
    /* 37 */ {"Check Disk", "檢查磁碟", "检查磁碟"},
    /* 38 */ {"Default", "預設", "默认"},
    /* 39 */ {"Read CFG", "讀取CFG", "读取CFG"},
    /* 40 */ {"Parse CFG", "解析CFG", "解析CFG"},
    /* 41 */
    {"Length of Filepath exceeds 128!", "檔案路徑長度不可超過128", "档案路径长度不可超过128"},
    /* 42 */ {"Too many bad block", "壞塊過多", "坏块过多"},
    /* 43 */ {"8 devices", "8個裝置", "8个设备"},
    /* 44 */ {"16 devices", "16個裝置", "16个设备"},
    /* 45 */ {"Cannot find", "找不到", "找不到"},
    /* 46 */ {"Capacity Rule", "容量規則", "容量规则"},
    /* 47 */ {"Allow Capacity Error", "容許容量誤差", "容许容量误差"},
    /* 48 */ {"Deal With unsatisfying", "不符合時的處理", "不符合时的处理"},
    /* 49 */ {"Degrade", "降容", "降容"},
    /* 50 */ {"Show Error", "顯示錯誤", "显示错误"},
    /* 51 */ {"Do not care", "忽略", "忽略"},
    /* 52 */ {"Bad Block no Exceed", "壞塊超出容許範圍", "坏块超出允许范围"},
    /* 53 */ {"Valid Size too small", "有效容量太小", "有效容量太小"},
    /* 54 */ {"Special Scan", "特殊掃描", "特殊扫描"},
    /* 55 */ {"FSM init", "FSM初始化", "FSM初始化"},
    /* 56 */ {"Mode Detection", "模式偵測", "模式检测"},
    /* 57 */ {"Create config", "建立CFG", "创建CFG"},
    /* 58 */ {"Page mode error", "頁面模式錯誤", "页面模式错误"},
    /* 59 */ {"Invalid IMG file", "無效的IMG檔", "无效的IMG档"},
    /* 60 */ {"Image File", "映像檔", "镜像档"},
    /* 61 */ {"Manual add files", "手動加入檔案", "手动添加档案"},
    /* 62 */ {"Use Image File", "使用映像檔", "使用镜像档"},
    /* 63 */
    {"Image file not exists. Please reassign it.", "映像檔不存在，請重新指定。",
     "镜像档不存在，请重新指定。"},
    /* 64 */ {"Map Image file", "對應映像檔", "映射镜像档"},
    /* 65 */ {"Image Disk Size:", "映像磁碟容量:", "镜像磁碟容量:"},
    /* 66 */ {"Create Image", "建立映像檔", "创建镜像档"},
    /* 67 */ {"Create", "建立", "创建"},
    /* 68 */ {"Success", "成功", "成功"},
    /* 69 */ {"Fail", "失敗", "失败"},
    /* 70 */ {"Init Image Disk", "初始化映像磁碟", "初始化镜像磁碟"},
    /* 71 */ {"Image write file", "寫入檔案至映像檔", "写入档案至镜像档"},
    /* 72 */ {"Image output", "輸出映像檔", "输出镜像档"},
    /* 73 */ {"GetShortPath name fail!", "取得短檔名失敗！", "获取短档名失败！"},
    /* 74 */ {"Hidden disk too small!", "隱藏碟太小！", "隐藏碟太小！"},
    /* 75 */ {"IMG file error!", "IMG檔錯誤！", "IMG档错误！"},
    /* 76 */ {"Hidden Files in Nor Flash", "Nor Flash中的隱藏檔案", "Nor Flash中的隐藏档案"},
    // Followed by a blank and the file index, hence the trailing blank.
    /* 77 */ {"SPI hidden files write ", "SPI隱藏檔案寫入 ", "SPI隐藏档案写入 "},
    /* 78 */ {"flash size error!", "Flash容量錯誤！", "Flash容量错误！"},
    /* 79 */ {"SPI read error!", "SPI讀取錯誤！", "SPI读取错误！"},
    /* 80 */ {"Nor Flash Setting", "Nor Flash設定", "Nor Flash设置"},
    /* 81 */ {"Save Flash Image", "儲存Flash映像檔", "保存Flash镜像档"},
    /* 82 */ {"Bad", "壞塊", "坏块"},
    /* 83 */ {"Fast Blanking Check", "快速壞塊掃描", "快速坏块扫描"},
    /* 84 */
    {"Fast Blanking Check cannot guarantee the stablity of data access.\n"
     "Still want to select this tiem?",
     "快速壞塊掃描無法保證資料存取的穩定性。\n仍要選擇此項目嗎？",
     "快速坏块扫描无法保证数据存取的稳定性。\n仍要选择此项目吗？"},
    // The station's own rows from here on.
    // Followed by ": " and the size the files need; the CFG holds at most 255 units of 4 MB.
    /* 85 */ {"System area too large", "系統區過大", "系统区过大"},
    /* 86 */ {"Read-back mismatch", "讀回資料不符", "读回数据不符"},
    // %1 is the number of devices.
    /* 87 */
    {"%1 device(s) are still in production. End their runs and close?",
     "%1 個裝置仍在生產中。要結束它們的生產並關閉嗎？",
     "%1 个设备仍在生产中。要结束它们的生产并关闭吗？"},
    /* 88 */
    {"%1 device(s) are in production and read these settings; apply them once their runs have "
     "ended.",
     "%1 個裝置正在生產中並讀取這些設定；請在生產結束後再套用。",
     "%1 个设备正在生产中并读取这些设置；请在生产结束后再应用。"},
    /* 89 */ {"Language", "語言", "语言"},
    // Followed by ": " and the reason.
    /* 90 */ {"The settings could not be saved", "無法儲存設定", "无法保存设置"},
    /* 91 */
    {"Try again, or close without saving them?", "要再試一次，還是不儲存就關閉？",
     "要再试一次，还是不保存就关闭？"},
    // Followed by ": " and the reason.
    /* 92 */ {"Runs are not recorded", "生產紀錄無法寫入", "生产记录无法写入"},
    // %1 is the label, %2 the bytes it takes and %3 the bytes the volume label holds.
    /* 93 */
    {"The label %1 takes %2 bytes in the station's code page; a volume label holds %3",
     "標籤 %1 在本站的字碼頁中佔 %2 位元組；磁碟區標籤最多 %3 位元組",
     "标签 %1 在本站的代码页中占 %2 字节；卷标最多 %3 字节"},
    // %1 is the label.
    /* 94 */
    {"The label %1 has characters the station's code page cannot write",
     "標籤 %1 含有本站字碼頁無法寫入的字元", "标签 %1 含有本站代码页无法写入的字符"},
}};

constexpr std::array<Row, 5> kScanLevels{{
    {"Level 1", "Level 1", "Level 1"},
    {"Level 2", "Level 2", "Level 2"},
    {"Level 3", "Level 3", "Level 3"},
    {"Level 4", "Level 4", "Level 4"},
    {"Level 5", "Level 5", "Level 5"},
}};

constexpr std::array<Row, 8> kPageModes{{
    {"Specific mode 1", "特定模式1", "特定模式1"},
    {"Specific mode 2", "特定模式2", "特定模式2"},
    {"Even Pages", "偶數頁面", "偶数页面"},
    {"Odd pages", "奇數頁面", "奇数页面"},
    {"First Half", "前半頁面", "前半页面"},
    {"Second Half", "後半頁面", "后半页面"},
    {"All Pages", "全部頁面", "全部页面"},
    {"Auto Detection", "自動偵測", "自动检测"},
}};

template <std::size_t N>
std::string_view lookUp(const std::array<Row, N>& table, int row, int language) {
    if (row < 0 || static_cast<std::size_t>(row) >= N || language < 0 ||
        language >= kLanguageCount) {
        return {};
    }
    return table[static_cast<std::size_t>(row)][static_cast<std::size_t>(language)];
}

}  // namespace

std::string_view fixedText(int row, int language) {
    return lookUp(kFixedTexts, row, language);
}

int optionRowCount(OptionTable table) {
    return table == OptionTable::ScanLevels ? static_cast<int>(kScanLevels.size())
                                            : static_cast<int>(kPageModes.size());
}

std::string_view optionName(OptionTable table, int row, int language) {
    return table == OptionTable::ScanLevels ? lookUp(kScanLevels, row, language)
                                            : lookUp(kPageModes, row, language);
}

}  // namespace corvid

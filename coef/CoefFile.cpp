#include "coef/CoefFile.h"

#include <cstdio>

#include "coef/TextFile.h"

int SlotDecimals(int slot) {
    return rq7map::IsLimitSlot(slot) ? 2 : 4;
}

std::string SavingTimeText(const TLocalTime& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%02d/%02d/%04d(%02d:%02d:%02d)", t.Day, t.Month, t.Year, t.Hour,
                  t.Minute, t.Second);
    return text;
}

std::vector<std::string> CoefFileLines(const TCoefFileTexts& texts) {
    std::vector<std::string> lines;
    lines.reserve(kCoefFileLines);
    lines.push_back(texts.Address);
    lines.push_back(texts.SavingTime);
    lines.push_back(texts.FactoryNumber);
    lines.insert(lines.end(), texts.Values.begin(), texts.Values.end());
    return lines;
}

TCoefFileTexts ReadCoefFile(const std::string& path) {
    return CoefFileTextsOf(ReadFirstTextFileLines(path, kCoefFileLines));
}

TCoefFileTexts CoefFileTextsOf(std::vector<std::string> lines) {
    lines.resize(kCoefFileLines);
    TCoefFileTexts texts;
    texts.Address = lines[0];
    texts.SavingTime = lines[1];
    texts.FactoryNumber = lines[2];
    for (std::size_t i = 0; i < texts.Values.size(); ++i) {
        texts.Values[i] = lines[i + 3];
    }
    return texts;
}

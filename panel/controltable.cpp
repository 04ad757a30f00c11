#include "controltable.h"

// clang-format off
const std::array<ChoiceGroup, 30> kChoiceGroups{{
    {Page::Picture, "Color Temp:", Field::colorTemp, false, FollowUp::None, ShowWhen::Always,
     {{0, "radioButton_3"}, {1, "radioButton_4"}, {2, "radioButton_5"}, {3, "radioButton_6"},
      {4, "radioButton_7"}, {5, "radioButton_8"}}},

    {Page::Marker, "Center Marker", Field::centerMarker, false, FollowUp::None, ShowWhen::Always,
     {{0, "radioButton_9"}, {1, "radioButton_10"}}},
    {Page::Marker, "Marker Color", Field::markerColor, false, FollowUp::None, ShowWhen::Always,
     {{0, "radioButton_11"}, {1, "radioButton_12"}, {2, "radioButton_13"}, {3, "radioButton_14"},
      {4, "radioButton_15"}}},
    {Page::Marker, "Aspect Marker", Field::aspectMarker, false, FollowUp::TypeRules, ShowWhen::Always,
     {{0, "radioButton_16"}, {1, "radioButton_17"}, {2, "radioButton_18"}, {3, "radioButton_19"},
      {4, "radioButton_20"}, {5, "radioButton_21"}, {6, "radioButton_120"}, {7, "radioButton_123"},
      {8, "radioButton_124"}, {9, "radioButton_129"}}},
    {Page::Marker, "Safety Marker", Field::safetyMarker, false, FollowUp::None, ShowWhen::Always,
     {{0, "radioButton_22"}, {1, "radioButton_23"}, {2, "radioButton_24"}, {3, "radioButton_25"},
      {4, "radioButton_26"}, {5, "radioButton_27"}, {6, "radioButton_28"}}},
    {Page::Marker, "Aspect Mat", Field::aspectMat, false, FollowUp::None, ShowWhen::Always,
     {{0, "radioButton_29"}, {1, "radioButton_30"}, {2, "radioButton_31"}, {3, "radioButton_32"},
      {4, "radioButton_33"}, {5, "radioButton_34"}, {6, "radioButton_35"}, {7, "radioButton_36"}}},
    {Page::Marker, "Thickness", Field::markerThickness, false, FollowUp::None, ShowWhen::Always,
     {{1, "radioButton_37"}, {2, "radioButton_38"}, {3, "radioButton_39"}, {4, "radioButton_40"},
      {5, "radioButton_41"}, {6, "radioButton_42"}, {7, "radioButton_43"}}},

    {Page::Umd, "Tally", Field::tally, false, FollowUp::None, ShowWhen::Always,
     {{0, "radioButton_109"}, {1, "radioButton_110"}, {2, "radioButton_111"}, {3, "radioButton_112"}}},

    {Page::Source, "Sources", Field::source, false, FollowUp::SourceLimits, ShowWhen::LowNibbleTo7,
     {{0, "radioButton_44"}, {1, "radioButton_45"}, {2, "radioButton_46"}, {3, "radioButton_47"},
      {4, "radioButton_48"}, {5, "radioButton_130", true}, {6, "radioButton_131", true},
      {7, "radioButton_49"}, {12, "radioButton_153", true}}},

    {Page::Audio, "Level Meter", Field::levelMeter, false, FollowUp::None, ShowWhen::Always,
     {{0, "radioButton_50"}, {1, "radioButton_51"}}},
    {Page::Audio, "Audio Vector", Field::audioVector, false, FollowUp::None, ShowWhen::Always,
     {{0, "radioButton_125"}, {1, "radioButton_126"}}},
    {Page::Audio, "Vector Ch", Field::vectorCh, false, FollowUp::None, ShowWhen::Always,
     {{0, "radioButton_52"}, {1, "radioButton_53"}, {2, "radioButton_54"}, {3, "radioButton_55"},
      {4, "radioButton_56"}, {5, "radioButton_57"}, {6, "radioButton_58"}, {7, "radioButton_59"}}},
    {Page::Audio, "Audio Ch", Field::audioLeftOut, false, FollowUp::None, ShowWhen::Always,
     {{0, "radioButton_135"}, {1, "radioButton_136"}, {2, "radioButton_137"}, {3, "radioButton_138"},
      {4, "radioButton_139"}, {5, "radioButton_140"}, {6, "radioButton_141"}, {7, "radioButton_142"}}},

    {Page::Function, "Freeze", Field::freeze, false, FollowUp::None, ShowWhen::Always,
     {{0, "radioButton_61"}, {1, "radioButton_60"}}},
    {Page::Function, "Overscan", Field::overscan, false, FollowUp::None, ShowWhen::Always,
     {{0, "radioButton_63"}, {1, "radioButton_62"}}},
    {Page::Function, "Display Scan", Field::displayScan, false, FollowUp::None, ShowWhen::Always,
     {{0, "radioButton_150"}, {1, "radioButton_151"}, {2, "radioButton_152"}}},
    {Page::Function, "Scan", Field::scan, false, FollowUp::TypeRules, ShowWhen::Always,
     {{0, "radioButton_64"}, {1, "radioButton_65"}, {2, "radioButton_66"}}},
    {Page::Function, "Aspect", Field::aspect, false, FollowUp::None, ShowWhen::Always,
     {{0, "radioButton_67"}, {1, "radioButton_68"}, {2, "radioButton_69"}, {3, "radioButton_70"},
      {4, "radioButton_71"}, {5, "radioButton_72"}, {6, "radioButton_127"}, {7, "radioButton_128"},
      {8, "radioButton_154"}, {9, "radioButton_155"}}},
    {Page::Function, "Vector", Field::vector, false, FollowUp::None, ShowWhen::Always,
     {{0, "radioButton_74"}, {1, "radioButton_73"}}},
    {Page::Function, "ColorBar", Field::colorBar, false, FollowUp::None, ShowWhen::Always,
     {{0, "radioButton_75"}, {1, "radioButton_76"}, {2, "radioButton_77"}}},
    {Page::Function, "Image Flip", Field::imageFlip, false, FollowUp::None, ShowWhen::Always,
     {{0, "radioButton_78"}, {1, "radioButton_79"}, {2, "radioButton_80"}, {3, "radioButton_81"}}},
    {Page::Function, "Check Field", Field::checkField, false, FollowUp::None, ShowWhen::Always,
     {{0, "radioButton_82"}, {1, "radioButton_83"}, {2, "radioButton_84"}, {3, "radioButton_85"},
      {4, "radioButton_86"}}},
    {Page::Function, "Timecode", Field::timecode, false, FollowUp::None, ShowWhen::Always,
     {{0, "radioButton_87"}, {1, "radioButton_88"}, {2, "radioButton_89"}}},
    {Page::Function, "H/V Delay", Field::hvDelay, false, FollowUp::None, ShowWhen::Always,
     {{0, "radioButton_90"}, {1, "radioButton_91"}, {2, "radioButton_92"}, {3, "radioButton_93"}}},
    {Page::Function, "Wave", Field::wave, false, FollowUp::None, ShowWhen::Always,
     {{0, "radioButton_94"}, {1, "radioButton_95"}, {2, "radioButton_96"}, {3, "radioButton_97"},
      {4, "radioButton_98"}}},
    {Page::Function, "Histogram", Field::histogram, false, FollowUp::None, ShowWhen::Always,
     {{0, "radioButton_99"}, {1, "radioButton_100"}, {2, "radioButton_101"}, {3, "radioButton_102"}}},
    {Page::Function, "Peaking", Field::peaking, false, FollowUp::Refresh, ShowWhen::Always,
     {{0, "radioButton_104"}, {1, "radioButton_103"}}},
    {Page::Function, "False Color", Field::falseColor, false, FollowUp::None, ShowWhen::Always,
     {{0, "radioButton_105"}, {1, "radioButton_107"}, {2, "radioButton_132"}, {3, "radioButton_133"},
      {4, "radioButton_134"}}},
    {Page::Function, "Exposure", Field::exposure, false, FollowUp::None, ShowWhen::Always,
     {{0, "radioButton_106"}, {1, "radioButton_108"}}},
    {Page::Function, "Full Mode", Field::fullMode, true, FollowUp::None, ShowWhen::Always,
     {{0, "radioButton_143"}, {1, "radioButton_144"}, {2, "radioButton_145"}, {3, "radioButton_146"},
      {4, "radioButton_147"}, {5, "radioButton_148"}, {6, "radioButton_149"}}},
}};

const std::array<SliderRow, 10> kSliderRows{{
    {Page::Picture, "brightnessSlider", Field::brightness, 0},
    {Page::Picture, "contrastSlider", Field::contrast, 0},
    {Page::Picture, "saturationSlider", Field::saturation, 0},
    {Page::Picture, "tintSlider", Field::tint, 0},
    {Page::Picture, "sharpnessSlider", Field::sharpness, 0},
    {Page::Picture, "backLightSlider", Field::backLight, 0},
    {Page::Marker, "horizontalSlider", Field::markerThickness, 0},
    {Page::Audio, "horizontalSlider_7", Field::volume, 0},
    {Page::Audio, "horizontalSlider_8", Field::audioRightOut, 1},
    {Page::Audio, "horizontalSlider_9", Field::audioLeftOut, 1},
}};
// clang-format on

int shownValue(const ChoiceGroup &g, const ST_BasicData &record)
{
    if (g.when == ShowWhen::LowNibbleTo7) {
        const int value = record.byte(fieldInfo(g.field).byte) & 0x0F;
        return value > 7 ? -1 : value;
    }
    return record.get(g.field);
}

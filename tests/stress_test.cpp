// Commands fired back to back from a user-interface thread while the status poll
// loop runs: the controller must see a clean run of well-formed frames, every
// command's text exactly once and in order, and only "FE" from the loop.
#include <random>
#include <thread>

#include "console/poll.h"
#include "tests/commands_wire.h"

using namespace wire;
using expected::Values;

namespace {

const int kRunMs = 4000;

// One step of the user-interface thread: what it does and what it must send.
struct Step {
    std::function<void()> act;
    std::vector<std::string> texts;
};

class Stress : public WireTest {
protected:
    // Picks the next command at random and says what it must send with the
    // settings `v` as the user-interface thread knows them.
    Step Next(std::mt19937& rng, Values& v) {
        static const std::vector<expected::Preset> presets = expected::Presets();
        static const std::vector<expected::Series> series = expected::PriceSeries();
        const auto& messages = expected::MenuMessages();
        const auto& hot = expected::HotMessages();
        auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
        switch (pick(8)) {
            case 0: {  // a hot key that sends one text ("S" is left out: the loop owns "FE")
                const expected::HotMessage& m = hot[1 + pick(hot.size() - 1)];
                return {[m] { DispatchHotKey(static_cast<unsigned short>(m.key)); }, {m.text(v)}};
            }
            case 1: {  // a price-series hot key
                const auto& s = expected::kHotSeries[pick(expected::kHotSeries.size())];
                return {[s] { DispatchHotKey(static_cast<unsigned short>(s.first)); },
                        expected::SeriesTexts(s.second, 0, v)};
            }
            case 2:
            case 3: {  // a menu message, confirmations answered Yes
                const expected::Message* m = nullptr;
                do {
                    m = &messages[pick(messages.size())];
                } while (m->id == 32772);
                int id = m->id;
                return {[id] { DispatchMenuCommand(static_cast<unsigned short>(id)); }, {m->text(v)}};
            }
            case 4: {
                const expected::Preset& p = presets[pick(presets.size())];
                int id = p.id;
                return {[id] { DispatchMenuCommand(static_cast<unsigned short>(id)); },
                        {expected::PresetText(p, v)}};
            }
            case 5: {
                const expected::Series& s = series[pick(series.size())];
                int id = s.id;
                return {[id] { DispatchMenuCommand(static_cast<unsigned short>(id)); },
                        expected::SeriesTexts(s.count, s.offset, v)};
            }
            case 6: {  // a setting that changes later texts
                static const std::vector<expected::Setting> settings = expected::Settings();
                const expected::Setting* s = nullptr;
                do {
                    s = &settings[pick(settings.size())];
                } while (s->field == expected::COM_PORT || s->field == expected::BAUD_RATE);
                if (s->field == expected::PUMP) v.pump = s->value;
                if (s->field == expected::PRESET_AMOUNT) v.preset = s->value;
                if (s->field == expected::PRICE_BASE) v.priceBase = s->value;
                int id = s->id;
                return {[id] { DispatchMenuCommand(static_cast<unsigned short>(id)); }, {}};
            }
            default: {  // a placeholder or an unbound id
                int id = pick(2) == 0 ? expected::kPlaceholders[pick(expected::kPlaceholders.size())] : 32806;
                return {[id] { DispatchMenuCommand(static_cast<unsigned short>(id)); }, {}};
            }
        }
    }
};

TEST_F(Stress, CommandsAndPollsNeverShareTheLine) {
    ui.answer = 1;
    looping = 1;
    ASSERT_EQ(StartPollThread(), 0);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return controller.Count() >= 1; }, 3000));

    std::vector<std::string> commandTexts;
    int steps = 0;
    std::thread uiThread([&] {
        std::mt19937 rng(20240611);
        Values v;
        Clock::time_point end = Clock::now() + std::chrono::milliseconds(kRunMs);
        while (Clock::now() < end) {
            Step step = Next(rng, v);
            step.act();
            commandTexts.insert(commandTexts.end(), step.texts.begin(), step.texts.end());
            ++steps;
        }
    });
    uiThread.join();
    looping = 0;
    ASSERT_EQ(StopPollThread(), 0);  // waits for a poll in flight

    std::vector<std::string> texts;
    std::string error;
    ASSERT_TRUE(ParseFrames(Raw(), texts, error)) << error;
    std::vector<std::string> commands;
    size_t polls = 0;
    for (const std::string& t : texts) {
        if (t == "FE") ++polls;
        else commands.push_back(t);
    }
    EXPECT_EQ(commands, commandTexts);
    EXPECT_GE(polls, 1u);
    for (const Seen& s : controller.Log()) EXPECT_TRUE(s.good) << s.text;
    EXPECT_EQ(controller.Count(), texts.size());
    EXPECT_EQ(replyExpected.load(), 0);
    std::printf("[ stress ] %d commands, %zu command frames, %zu polls in %d ms\n", steps, commands.size(), polls,
                kRunMs);
}

}  // namespace

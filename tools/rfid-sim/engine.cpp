/*
 * rfid-sim as a reader module: the plan as it runs (which card is in the
 * field, the step lines), the answer to each request frame, and the faults
 * that damage replies (which replies they hit and how).
 */
#include "tools/rfid-sim/sim.h"

#include <cstdio>
#include <cstring>

static const uint8_t ERROR_UNKNOWN_COMMAND = 0x82;
static const uint8_t ERROR_NO_CARD = 0x83;
static const uint8_t ERROR_AUTH = 0x84;
static const uint8_t ERROR_BAD_REQUEST = 0x85;

static uint64_t nextRandom(Sim &sim)
{
    // splitmix64
    uint64_t z = (sim.random += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

static const Step *currentCard(const Sim &sim)
{
    if (!sim.planStarted || sim.planDone)
        return nullptr;
    const Step &step = sim.options.plan[sim.stepIndex];
    return step.isCard ? &step : nullptr;
}

long long stepEnd(const Sim &sim)
{
    if (!sim.planStarted || sim.planDone)
        return NEVER;
    const Step &step = sim.options.plan[sim.stepIndex];
    if (step.isCard && step.reads > 0 && !step.msGiven)
        return NEVER;
    return sim.stepStart + step.ms * NS_PER_MS;
}

static void showStep(Sim &sim)
{
    const Step *card = currentCard(sim);
    if (card) {
        sim.fieldEmptyShown = false;
        if (!sim.options.quiet)
            printf("rfid-sim: card %s in field\n", hexString(card->uid, card->uidLength, "").c_str());
    } else {
        bool isGap = !sim.planDone;
        if (isGap || !sim.fieldEmptyShown) {
            if (!sim.options.quiet)
                puts("rfid-sim: field empty");
        }
        sim.fieldEmptyShown = true;
    }
}

static void enterStep(Sim &sim, size_t index, long long start)
{
    const std::vector<Step> &plan = sim.options.plan;
    if (index >= plan.size()) {
        if (!sim.options.loop || plan.empty()) {
            sim.planDone = true;
            showStep(sim);
            if (sim.options.exitAfterPlan)
                sim.exitPending = true;
            return;
        }
        index = 0;
        // After a long stall, skip whole rounds of a plan that runs on time alone.
        long long round = 0;
        bool timeOnly = true;
        for (const Step &step : plan) {
            if (step.isCard && step.reads > 0)
                timeOnly = false;
            round += step.ms * NS_PER_MS;
        }
        long long now = nowNs();
        if (timeOnly && round > 0 && now - start > round)
            start += (now - start) / round * round;
    }
    sim.stepIndex = index;
    sim.stepStart = start;
    sim.readsLeft = plan[index].isCard ? plan[index].reads : 0;
    showStep(sim);
}

static void startPlan(Sim &sim, long long now)
{
    sim.planStarted = true;
    sim.stepIndex = 0;
    enterStep(sim, 0, now);
}

void advancePlan(Sim &sim, long long now)
{
    while (sim.planStarted && !sim.planDone) {
        long long end = stepEnd(sim);
        if (end == NEVER || now < end)
            return;
        enterStep(sim, sim.stepIndex + 1, end);
    }
}

static bool faultHits(Sim &sim, const Fault &fault)
{
    switch (fault.when) {
    case FaultWhen::Always:
        return true;
    case FaultWhen::Numbers:
        for (long long number : fault.numbers)
            if (static_cast<uint64_t>(number) == sim.replyNumber)
                return true;
        return false;
    case FaultWhen::EveryNth:
        return sim.replyNumber % static_cast<uint64_t>(fault.every) == 0;
    case FaultWhen::Percent:
        return static_cast<int>(nextRandom(sim) % 100) < fault.percent;
    }
    return false;
}

void answer(Sim &sim, const uint8_t *frame, int size, long long now)
{
    logLine(sim, hexString(frame, size, " "));
    if (!sim.planStarted)
        startPlan(sim, now);
    else
        advancePlan(sim, now);

    uint8_t command = frame[4];
    const uint8_t *data = frame + 5;
    int dataCount = frame[3] - 1;
    const Step *card = currentCard(sim);

    uint8_t status = 0;
    std::vector<uint8_t> replyData;
    bool isRead = false;
    auto fail = [&](uint8_t error) {
        status = 0x01;
        replyData.assign(1, error);
    };
    if (command == 0x95) {
        isRead = true;
        if (!card) {
            fail(ERROR_NO_CARD);
        } else {
            replyData.assign(card->lead, card->lead + 3);
            replyData.insert(replyData.end(), card->uid, card->uid + card->uidLength);
        }
    } else if (command == 0x98) {
        isRead = true;
        if (dataCount != 9 || (data[0] != 0x60 && data[0] != 0x61) || data[8] != 0x01) {
            fail(ERROR_BAD_REQUEST);
        } else if (!card) {
            fail(ERROR_NO_CARD);
        } else if (memcmp(card->key, data + 2, 6) != 0) {
            fail(ERROR_AUTH);
        } else {
            replyData.assign(card->lead, card->lead + 3);
            replyData.insert(replyData.end(), card->uid, card->uid + card->uidLength);
            uint8_t block[16] = {};
            for (const BlockData &known : card->blocks)
                if (known.number == data[1])
                    memcpy(block, known.bytes, sizeof block);
            replyData.insert(replyData.end(), block, block + 16);
        }
    } else if (command == 0x99) {
        if (dataCount != 4)
            fail(ERROR_BAD_REQUEST);
    } else {
        fail(ERROR_UNKNOWN_COMMAND);
    }

    ++sim.replyNumber;
    bool noReply = false, strayBefore = false, badCheck = false, badEnd = false;
    int splitMs = -1, strayAfter = 0;
    for (const Fault &fault : sim.options.faults) {
        if (!faultHits(sim, fault))
            continue;
        switch (fault.kind) {
        case FaultKind::NoReply:
            noReply = true;
            break;
        case FaultKind::StrayBefore:
            strayBefore = true;
            break;
        case FaultKind::BadCheck:
            badCheck = true;
            break;
        case FaultKind::BadEnd:
            badEnd = true;
            break;
        case FaultKind::Split:
            splitMs = fault.arg > splitMs ? fault.arg : splitMs;
            break;
        case FaultKind::StrayAfter:
            strayAfter = fault.arg;
            break;
        case FaultKind::Status:
            status = 0x01;
            replyData.assign(1, static_cast<uint8_t>(fault.arg));
            break;
        }
    }

    if (!noReply) {
        std::vector<uint8_t> bytes;
        if (strayBefore)
            bytes.push_back(0x55);
        size_t frameStart = bytes.size();
        bytes.push_back(0xAA);
        bytes.push_back(0x00);
        bytes.push_back(0x01);
        bytes.push_back(static_cast<uint8_t>(replyData.size() + 1));
        bytes.push_back(status);
        bytes.insert(bytes.end(), replyData.begin(), replyData.end());
        uint8_t check = 0;
        for (size_t i = frameStart + 1; i < bytes.size(); ++i)
            check ^= bytes[i];
        bytes.push_back(badCheck ? static_cast<uint8_t>(check ^ 0xFF) : check);
        bytes.push_back(badEnd ? 0x44 : 0xBB);
        int pauseAt = -1;
        if (splitMs >= 0)
            pauseAt = static_cast<int>(frameStart + (bytes.size() - frameStart) / 2);
        bytes.insert(bytes.end(), static_cast<size_t>(strayAfter), 0x55);
        queueReply(sim, bytes, pauseAt, splitMs * NS_PER_MS, now);
    }

    // A successful read uses up one of the card's reads; the last one takes
    // the card out of the field.
    if (isRead && status == 0 && card && sim.readsLeft > 0 && --sim.readsLeft == 0)
        enterStep(sim, sim.stepIndex + 1, now);
}

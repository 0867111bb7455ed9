// Component ownership: who frees whom and in which order, who is told of arrivals and departures,
// and the order in which loading ends.
#include "runtime/Component.h"

#include <gmock/gmock.h>

#include <string>
#include <vector>

using testing::ElementsAre;

namespace
{

// Records into one shared journal what happens to it.
class TRecorder : public TComponent
{
public:
    TRecorder(TComponent* owner, std::string name, std::vector<std::string>& journal)
        : TComponent(owner), FJournal(journal)
    {
        SetName(std::move(name));
    }
    ~TRecorder() override
    {
        // As a window does: its components go while it is still whole, and it hears of each.
        DestroyComponents();
        FJournal.push_back("free " + Name());
    }

    bool LoadingInLoaded = true;

protected:
    void Loaded() override
    {
        LoadingInLoaded = IsLoading();
        FJournal.push_back("loaded " + Name());
    }
    void Notification(TComponent* component, TOperation operation) override
    {
        if (operation == opRemove)
            FJournal.push_back(Name() + " sees remove " + component->Name());
    }

private:
    std::vector<std::string>& FJournal;
};

} // namespace

TEST(Component, OwnerFreesOwnedLastFirstAndTellsTheOthersOfEachRemoval)
{
    std::vector<std::string> journal;
    auto* owner = new TRecorder(nullptr, "form", journal);
    new TRecorder(owner, "port", journal);
    new TRecorder(owner, "packet", journal);
    journal.clear();

    delete owner;

    EXPECT_THAT(journal, ElementsAre("free packet", "port sees remove packet", "form sees remove packet",
                                     "free port", "form sees remove port", "free form"));
}

TEST(Component, WithoutDestroyComponentsTheBaseStillFreesEverythingOnce)
{
    std::vector<std::string> journal;
    auto* owner = new TComponent;
    new TRecorder(owner, "port", journal);
    new TRecorder(owner, "packet", journal);
    journal.clear();

    delete owner;

    EXPECT_THAT(journal, ElementsAre("free packet", "port sees remove packet", "free port"));
}

TEST(Component, ComponentFreedByHandLeavesItsOwnerAndIsNotFreedAgain)
{
    std::vector<std::string> journal;
    {
        TRecorder owner(nullptr, "form", journal);
        auto* port = new TRecorder(&owner, "port", journal);
        new TRecorder(&owner, "packet", journal);
        delete port;
        EXPECT_EQ(owner.ComponentCount(), 1);
        EXPECT_EQ(owner.FindComponent("port"), nullptr);
        journal.clear();
    }
    // A second "free port" here would be a double free (and an ASan report).
    EXPECT_THAT(journal, ElementsAre("free packet", "form sees remove packet", "free form"));
}

TEST(Component, EndLoadingRunsLoadedOnOwnedComponentsFirstAndNoneIsStillLoading)
{
    std::vector<std::string> journal;
    TRecorder owner(nullptr, "form", journal);
    auto* panel = new TRecorder(&owner, "panel", journal);
    auto* button = new TRecorder(panel, "button", journal);
    auto* port = new TRecorder(&owner, "port", journal);
    journal.clear();

    owner.BeginLoading();
    EXPECT_TRUE(button->IsLoading());
    owner.EndLoading();

    EXPECT_THAT(journal, ElementsAre("loaded button", "loaded panel", "loaded port", "loaded form"));
    for (TRecorder* component : {&owner, panel, button, port})
        EXPECT_FALSE(component->LoadingInLoaded) << component->Name();
    EXPECT_EQ(owner.FindComponent("button"), button);
}

// List, SearchableList, SplayTree, Stack and the Recycler.

#include <gtest/gtest.h>
#include <string.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "foundation/list.h"
#include "foundation/recycler.h"
#include "foundation/splay_tree.h"
#include "foundation/stack.h"
#include "foundation/string.h"
#include "tests/support/print.h"

namespace {

// A named element that counts its live instances.
struct Item {
    explicit Item(const char* n, int s = 0) : name(n), serial(s) { live++; }
    ~Item() { live--; }
    const char* key() const { return name.chars(); }
    String name;
    int serial;
    static int live;
};
int Item::live = 0;

String Walk(List<Item>& l) {
    String s;
    for (Item* e = l.First(); e != nullptr; e = l.Next()) s += e->name;
    return s;
}

}  // namespace

TEST(List, InsertPositionsAndCursor) {
    Item a("a"), b("b"), c("c"), d("d");
    List<Item> l(0);
    l.Insert(&b, ListCurrent);  // empty list: position does not matter
    l.Insert(&d, ListTail);
    EXPECT_EQ(nullptr, l.Next());  // the cursor is on the new last node
    l.Insert(&a, ListHead);
    l.Seek(&d);
    l.Insert(&c, ListCurrent);  // before the cursor
    EXPECT_EQ(&c, l.Current());
    EXPECT_EQ(String("abcd"), Walk(l));
    EXPECT_EQ(4, l.Entries());
    l.Seek(&c);
    EXPECT_EQ(&b, l.Previous());
}

TEST(List, CursorAfterRemovals) {
    Item a("a"), b("b"), c("c");
    List<Item> l(0);
    EXPECT_EQ(nullptr, l.Remove(ListHead));
    EXPECT_EQ(0, l.Entries());
    l.Insert(&a, ListTail);
    l.Insert(&b, ListTail);
    l.Insert(&c, ListTail);

    l.Seek(&b);
    EXPECT_EQ(&b, l.Remove(ListCurrent));
    EXPECT_EQ(&c, l.Current());  // the following node
    EXPECT_EQ(&c, l.Remove(ListCurrent));
    EXPECT_EQ(nullptr, l.Current());  // it was the last node
    EXPECT_EQ(nullptr, l.Remove(ListCurrent));
    EXPECT_EQ(1, l.Entries());

    l.Insert(&b, ListTail);
    l.First();
    EXPECT_EQ(&a, l.Remove(ListHead));
    EXPECT_EQ(&b, l.Current());  // the cursor moves to the new first node
    l.Insert(&c, ListTail);
    EXPECT_EQ(&c, l.Remove(ListTail));
    EXPECT_EQ(&b, l.Current());  // and to the new last node
    EXPECT_EQ(&b, l.Remove(ListTail));
    EXPECT_EQ(0, l.Entries());
    EXPECT_EQ(nullptr, l.First());
    EXPECT_EQ(nullptr, l.Seek(&a));
}

TEST(List, OwnershipOnDumpAndDestruction) {
    Item::live = 0;
    {
        List<Item> owning(1);
        owning.Insert(new Item("a"), ListTail);
        owning.Insert(new Item("b"), ListTail);
        Item* removed = owning.Remove(ListHead);  // handed back, not destroyed
        EXPECT_EQ(2, Item::live);
        delete removed;
    }
    EXPECT_EQ(0, Item::live);

    Item kept("k");
    {
        List<Item> borrowing(0);
        borrowing.Insert(&kept, ListTail);
    }
    EXPECT_EQ(1, Item::live);

    List<Item> l(1);
    Item* x = new Item("x");
    l.Insert(x, ListTail);
    l.RemoveAll();  // forgets without destroying
    EXPECT_EQ(2, Item::live);
    delete x;
}

TEST(SearchableList, FindIgnoresCaseAndPrefersTheHead) {
    SearchableList<Item, const char*> l(1);
    l.Insert(new Item("name", 1), ListTail);
    l.Insert(new Item("other", 2), ListTail);
    l.Insert(new Item("NAME", 3), ListTail);
    Item* found = l.Find("Name");
    ASSERT_NE(nullptr, found);
    EXPECT_EQ(1, found->serial);
    EXPECT_EQ(found, l.Current());
    EXPECT_EQ(nullptr, l.Find("missing"));
    EXPECT_EQ(nullptr, l.Current());
}

TEST(SplayTree, EqualKeysNewestWins) {
    SplayTree<Item, const char*> t(1);
    t.Insert(new Item("name", 1));
    t.Insert(new Item("NAME", 2));
    ASSERT_NE(nullptr, t.Find("Name"));
    EXPECT_EQ(2, t.Find("Name")->serial);

    List<Item> all(0);
    t.AppendToList(all);
    ASSERT_EQ(2, all.Entries());  // both kept, adjacent
    EXPECT_EQ(1, all.First()->serial);
    EXPECT_EQ(2, all.Next()->serial);
    EXPECT_EQ(nullptr, t.Remove("name"));
    EXPECT_EQ(nullptr, t.Find("nam"));
}

TEST(SplayTree, MatchesAModelUnderRandomInsertsAndFinds) {
    // Many equal keys and look-ups of other keys in between reshape the tree; the
    // newest element of a key must still be the one found.
    for (unsigned seed = 1; seed <= 5; seed++) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        SplayTree<Item, const char*> t(1);
        std::map<std::string, int> newest;
        std::vector<std::string> names;
        for (int i = 0; i < 40; i++) names.push_back("k" + std::to_string(i));
        for (int i = 0; i < 4000; i++) {
            const std::string& k = names[rng() % names.size()];
            if (rng() % 3 == 0) {
                Item* found = t.Find(k.c_str());
                if (newest.count(k)) {
                    ASSERT_NE(nullptr, found);
                    ASSERT_EQ(newest[k], found->serial);
                } else {
                    ASSERT_EQ(nullptr, found);
                }
            } else {
                t.Insert(new Item(k.c_str(), i));
                newest[k] = i;
            }
        }
        List<Item> all(0);
        t.AppendToList(all);
        Item* previous = nullptr;
        for (Item* e = all.First(); e != nullptr; e = all.Next()) {
            if (previous) {
                int c = strcasecmp(previous->key(), e->key());
                ASSERT_LE(c, 0);
                if (c == 0) {
                    ASSERT_LT(previous->serial, e->serial);  // oldest first
                }
            }
            previous = e;
        }
    }
}

TEST(SplayTree, IntegerKeysAndDegenerateShapes) {
    struct Setting {
        explicit Setting(unsigned k) : type(k) {}
        unsigned key() const { return type; }
        unsigned type;
    };
    SplayTree<Setting, unsigned> t(1);
    // Ascending inserts build a chain as deep as the tree is large; dumping and
    // walking it must not recurse that deep.
    for (unsigned i = 0; i < 200000; i++) t.Insert(new Setting(i));
    EXPECT_EQ(nullptr, t.Find(0x80800000u));
    EXPECT_EQ(7u, t.Find(7u)->type);
    List<Setting> all(0);
    t.AppendToList(all);
    EXPECT_EQ(200000, all.Entries());
    EXPECT_EQ(0u, all.First()->type);
    EXPECT_EQ(199999u, all.Last()->type);
    t.Dump();
    EXPECT_TRUE(t.empty());
}

TEST(Stack, PopCutsBackToTheCursor) {
    Item::live = 0;
    Stack<Item> s(1);
    for (const char* n : {"1", "2", "3", "4", "5"}) s.Push(new Item(n));
    EXPECT_EQ(String("5"), s.Top()->name);
    EXPECT_EQ(String("4"), s.Peek()->name);
    EXPECT_EQ(String("3"), s.Peek()->name);
    Item* popped = s.Pop();  // discards 5 and 4, hands back 3
    EXPECT_EQ(String("3"), popped->name);
    EXPECT_EQ(3, Item::live);  // 5 and 4 were destroyed; 3 is the caller's now
    delete popped;
    EXPECT_EQ(String("2"), s.Top()->name);
    Item* top = s.Pop();  // the ordinary pop
    EXPECT_EQ(String("2"), top->name);
    delete top;
    EXPECT_EQ(String("1"), s.Top()->name);
    EXPECT_EQ(nullptr, s.Peek());  // below the bottom
}

TEST(Stack, NonOwningLeavesElementsAlive) {
    Item a("a"), b("b");
    Item::live = 2;
    {
        Stack<Item> s(0);
        s.Push(&a);
        s.Push(&b);
        s.Top();
        s.Peek();
        EXPECT_EQ(&a, s.Pop());
        EXPECT_TRUE(s.empty());
        s.Push(&b);
    }
    EXPECT_EQ(2, Item::live);
}

// Blocks of mixed sizes taken and given back in random order never overlap: each
// keeps the pattern written into it until it is given back, and a small block given
// back is reused only for a size of its own class (16 bytes to a class).
TEST(Recycler, BlocksNeverOverlapUnderRandomUse) {
    std::mt19937 random(7);
    struct Held {
        unsigned char* p;
        size_t size;
        unsigned char mark;
    };
    std::vector<Held> held;
    std::map<void*, size_t> given;  // blocks given back, by their size
    unsigned char next = 1;
    for (int step = 0; step < 20000; step++) {
        if (held.empty() || random() % 3 != 0) {
            // Sizes across the recycled classes and beyond them.
            size_t size = 1 + random() % 600;
            auto* p = static_cast<unsigned char*>(Recycler::Take(size));
            auto old = given.find(p);
            if (old != given.end()) {
#ifndef KELP_RECYCLER_OFF  // under AddressSanitizer malloc decides
                // Small blocks are kept by class; big ones go back to malloc.
                if (old->second <= 256 && size <= 256) {
                    EXPECT_EQ((old->second + 15) / 16, (size + 15) / 16) << "step " << step;
                }
#endif
                given.erase(old);
            }
            memset(p, next, size);
            held.push_back(Held{p, size, next});
            next = static_cast<unsigned char>(next % 250 + 1);
        } else {
            size_t i = random() % held.size();
            Held h = held[i];
            for (size_t k = 0; k < h.size; k++) {
                if (h.p[k] != h.mark) {
                    ADD_FAILURE() << "block of " << h.size << " bytes overwritten at " << k;
                    break;
                }
            }
            Recycler::Give(h.p, h.size);
            given[h.p] = h.size;
            held[i] = held.back();
            held.pop_back();
        }
    }
    for (const Held& h : held) Recycler::Give(h.p, h.size);
}

// Random call sequences with faults against the model (see model.h).  The
// number of sequences and the seed come from RC_PARAMS; CTest runs one
// fixed seed and one random seed (printed by RapidCheck).
#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>

#include "model/model.h"

RC_GTEST_PROP(Model, RandomCallSequences, ()) { q583model::CheckOneSequence(); }

// The last sequence's rig is unloaded with its leak check after the property.
TEST(Model, LastRigUnloadsClean) { EXPECT_EQ(q583model::FinishSequences(), ""); }

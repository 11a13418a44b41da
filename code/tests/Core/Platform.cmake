# Tests of MorvexPlatform arrive here.

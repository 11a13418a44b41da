# Tests of MorvexThreading arrive here.

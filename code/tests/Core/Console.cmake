# Tests of MorvexConsole arrive here.

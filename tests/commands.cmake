# Tests of the command catalogue and the status poll loop, over a pseudo-terminal.
zantrox_test(menu_table_test SOURCES menu_table_test.cpp LABELS unit)
zantrox_test(commands_test SOURCES commands_test.cpp LABELS "unit;threaded")
zantrox_test(poll_test SOURCES poll_test.cpp LABELS "unit;threaded")
zantrox_test(stress_test SOURCES stress_test.cpp LABELS "unit;threaded")


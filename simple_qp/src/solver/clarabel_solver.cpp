// placeholder until the Clarabel adapter lands
